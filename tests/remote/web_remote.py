"""The venue's remote as a phone uses it: tunaris-bridge --web (and --listen,
another door) on a pseudo-terminal whose far end is read byte for byte,
driven by headless Chromium through Selenium, by a plain HTTP client and by
an attacker's raw sockets from several loopback addresses. Loopback only.

    /usr/bin/python3 web_remote.py BRIDGE

With REMOTE_SCREENSHOT=FILE.png it keeps the English page, as a phone shows
it after Play, in that file.
"""
import http.client
import json
import os
import re
import select
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

BRIDGE = "tools/tunaris-bridge"  # or the first argument
WAIT_S = 20  # a loaded machine starts a browser slowly


class Device:
    """The player's end of the line: a pseudo-terminal pair."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)

    def read(self, count):
        data = b""
        deadline = time.monotonic() + WAIT_S
        while len(data) < count and time.monotonic() < deadline:
            if select.select([self.master], [], [], 0.2)[0]:
                data += os.read(self.master, count - len(data))
        return data

    def rest(self):
        """What else arrives before the line stays quiet for half a second."""
        data = b""
        while select.select([self.master], [], [], 0.5)[0]:
            data += os.read(self.master, 4096)
        return data


class Flood:
    """Keyless connections holding the remote's slots as an attacker would: each from one of `hosts` (loopback
    addresses), asking for the icon and keeping its connection, and opened again as soon as the bridge closes it
    unless told not to."""

    REQUEST = b"GET /icon.png HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"

    def __init__(self, port, hosts, per_host, reopen=True):
        self.port = port
        self.reopen = reopen
        self.hosts = {}  # socket: the host it came from
        self.closed = 0
        self.stopped = threading.Event()
        for host in hosts:
            for _ in range(per_host):
                self.open(host)
        self.thread = threading.Thread(target=self.hold)
        self.thread.start()

    def open(self, host):
        client = socket.socket()
        client.bind((host, 0))
        client.settimeout(WAIT_S)
        try:
            client.connect(("127.0.0.1", self.port))
            client.sendall(self.REQUEST)
        except OSError:
            pass  # refused at once: its end shows as closed below
        client.setblocking(False)
        self.hosts[client] = host

    def hold(self):
        while not self.stopped.is_set():
            for client in select.select(list(self.hosts), [], [], 0.1)[0]:
                try:
                    data = client.recv(65536)  # the icon, or the end
                except OSError:
                    data = b""
                if not data:
                    host = self.hosts.pop(client)
                    client.close()
                    self.closed += 1
                    if self.reopen:
                        self.open(host)

    def close(self):
        self.stopped.set()
        self.thread.join()
        for client in self.hosts:
            client.close()


def browser(language):
    options = Options()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--hide-scrollbars",
                     "--lang=" + language):
        options.add_argument(argument)
    options.add_experimental_option("prefs", {"intl.accept_languages": language})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": 390, "height": 844, "deviceScaleFactor": 1, "mobile": True})
    return driver


class WebRemoteTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        runtime = os.path.join(cls.folder.name, "run")
        os.mkdir(runtime, 0o700)
        cls.config = os.path.join(cls.folder.name, "config")
        cls.device = Device()
        cls.errors = open(os.path.join(cls.folder.name, "stderr"), "w+")
        environment = dict(os.environ, XDG_CONFIG_HOME=cls.config, XDG_RUNTIME_DIR=runtime)
        environment.pop("STATE_DIRECTORY", None)
        cls.bridge = subprocess.Popen([BRIDGE, "--port", cls.device.path, "--web", "127.0.0.1:0",
                                       "--listen", "127.0.0.1:0"],
                                      env=environment, stdout=subprocess.DEVNULL, stderr=cls.errors)
        deadline = time.monotonic() + WAIT_S
        found = None
        while not found and time.monotonic() < deadline and cls.bridge.poll() is None:
            time.sleep(0.1)
            found = re.search(r"listening on 127\.0\.0\.1:(\d+).*web remote on 127\.0\.0\.1:(\d+)", cls.reports(),
                              re.DOTALL)
        if not found:
            cls.tearDownClass()
            raise RuntimeError("the bridge did not start its web remote")
        cls.line_port, cls.port = int(found.group(1)), int(found.group(2))
        cls.origin = f"http://127.0.0.1:{cls.port}"
        with open(os.path.join(cls.config, "tunaris-bridge", "web-key")) as key:
            cls.key = key.read().strip()

    @classmethod
    def tearDownClass(cls):
        if cls.bridge.poll() is not None:
            sys.stderr.write(f"the bridge ended early ({cls.bridge.returncode}):\n{cls.reports()}")
        cls.bridge.terminate()
        cls.bridge.wait(WAIT_S)
        cls.errors.close()
        cls.folder.cleanup()

    @classmethod
    def reports(cls):
        cls.errors.seek(0)
        return cls.errors.read()

    def tearDown(self):
        self.assertEqual(self.device.rest(), b"", "nothing more on the line")

    def client(self, source="127.0.0.3"):
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=WAIT_S, source_address=(source, 0))

    def post(self, body, headers, client=None, source="127.0.0.3"):
        connection = client or self.client(source)
        connection.request("POST", "/command", body=body, headers=headers)
        response = connection.getresponse()
        answer = (response.status, response.read().decode())
        if not client:
            connection.close()
        return answer

    def keyed(self):
        return {"Cookie": f"tunaris_key={self.key}", "Origin": self.origin}

    def send(self, door, words):
        """One command through a door, its frame read at the far end: the answer's bytes."""
        if door.startswith("web-from-"):
            status, answer = self.post(words, self.keyed(), source=door.removeprefix("web-from-"))
            self.assertEqual(status, 200, answer)
        elif door == "tcp":
            with socket.create_connection(("127.0.0.1", self.line_port), timeout=WAIT_S) as line:
                line.sendall(words.encode() + b"\n")
                answer = line.makefile().readline().strip()
        else:
            status, answer = self.post(words, self.keyed())
            self.assertEqual(status, 200, answer)
        frame = bytes.fromhex(answer.removeprefix("ok "))
        self.assertEqual(self.device.read(4), frame, words)
        return frame

    def upgrade(self, headers, source="127.0.0.3"):
        """The events' WebSocket asked for: the status line, and the connection, open when upgraded."""
        client = socket.create_connection(("127.0.0.1", self.port), timeout=WAIT_S, source_address=(source, 0))
        lines = [f"GET /events HTTP/1.1", f"Host: 127.0.0.1:{self.port}", "Upgrade: websocket",
                 "Connection: Upgrade", "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==",
                 "Sec-WebSocket-Version: 13"] + [f"{name}: {value}" for name, value in headers.items()]
        client.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        return client.recv(64).split(b"\r\n")[0].decode(), client

    def test_key_is_private(self):
        mode = os.stat(os.path.join(self.config, "tunaris-bridge", "web-key")).st_mode
        self.assertEqual(stat.S_IMODE(mode), 0o600)
        self.errors.seek(0)
        self.assertNotIn(self.key, self.errors.read(), "the key is never in a report")

    def test_refused_requests_send_nothing(self):
        good = self.keyed()
        wrong = "A" * len(self.key)
        cases = [
            ("no key", "play", {"Origin": self.origin}, 403, "error no key"),
            ("wrong key", "play", {"Cookie": "tunaris_key=" + wrong, "Origin": self.origin}, 403,
             "error wrong key: ask the operator for the remote's link"),
            ("an empty key", "play", {"Cookie": "tunaris_key=", "Origin": self.origin}, 403, "error wrong key"),
            ("another site's page", "play", dict(good, Origin="http://192.0.2.1"), 403,
             "error not from the remote's own page"),
            ("no Origin", "play", {"Cookie": good["Cookie"]}, 403, "error not from the remote's own page"),
            ("oversized body", "play " + "x" * 252, good, 413, "error line longer than 256 bytes"),
            ("two commands", "play stop", good, 400, "error one command per line"),
            ("not text", "pl\x01ay", good, 400, "error line holds bytes that are not text"),
        ]
        for name, body, headers, status, answer in cases:
            with self.subTest(name):
                got_status, got_answer = self.post(body, headers)
                self.assertEqual(got_status, status)
                self.assertTrue(got_answer.startswith(answer), got_answer)
        with self.subTest("GET changes nothing"):
            client = self.client()
            client.request("GET", "/command?play", headers=good)
            self.assertEqual(client.getresponse().status, 405)
            client.close()
        for name, headers in [("events without the key", {"Origin": self.origin}),
                              ("events with a wrong key", {"Cookie": "tunaris_key=" + wrong, "Origin": self.origin}),
                              ("events for another site", {"Cookie": good["Cookie"], "Origin": "http://192.0.2.1"})]:
            with self.subTest(name):
                status, client = self.upgrade(headers)
                client.close()
                self.assertEqual(status, "HTTP/1.1 403 Forbidden")
        for name, cookie, key in [("session without the key", {}, "none"),
                                  ("session with a wrong key", {"Cookie": "tunaris_key=" + wrong}, "wrong"),
                                  ("session with the key", {"Cookie": good["Cookie"]}, "held")]:
            with self.subTest(name):
                client = self.client()
                client.request("GET", "/session", headers=cookie)
                self.assertEqual(json.loads(client.getresponse().read())["key"], key)
                client.close()
        with self.subTest("the report tells a wrong key as wrong, and never gives it"):
            time.sleep(2.1)  # reports are held to one a second, and those between only counted
            self.post("play", {"Cookie": "tunaris_key=" + wrong, "Origin": self.origin})
            self.assertIn("refused a command from 127.0.0.3: wrong key\n", self.reports())
            self.assertNotIn(wrong, self.reports())

    def test_burst_is_cut_short(self):
        good = {"Cookie": f"tunaris_key={self.key}", "Origin": self.origin}
        # One connection kept open, as a browser does: the requests come as fast as they can.
        client = self.client("127.0.0.2")
        statuses = [self.post("pause", good, client)[0] for _ in range(40)]
        client.close()
        sent = statuses.count(200)
        self.assertEqual(statuses.count(200) + statuses.count(429), 40)
        self.assertGreaterEqual(sent, 10, "a burst of ten goes through")
        self.assertGreaterEqual(statuses.count(429), 1, "the rest is refused")
        self.assertEqual(self.device.read(4 * sent), bytes.fromhex("21ffffff") * sent)

    def test_flood_gives_way_to_the_key(self):
        """Keyless connections hold every slot and take back any that comes free, as an attacker's would: the
        staff's page and keyed connection keep theirs, and the staff's new connections get in."""
        cases = [  # the flood's hosts, sixteen connections from each; the staff's host; whether the flood comes back
            ("four hosts fill all 64 slots", ["127.0.0.10", "127.0.0.11", "127.0.0.12", "127.0.0.13"], "127.0.0.14",
             True),
            # Sharing the staff's address, a flood that comes back at once races the staff's next request.
            ("the staff's own address filled", ["127.0.0.15"], "127.0.0.15", False),
        ]
        for name, hosts, staff, reopen in cases:
            with self.subTest(name):
                status, page = self.upgrade(self.keyed(), staff)
                self.assertEqual(status, "HTTP/1.1 101 Switching Protocols")
                held = self.client(staff)
                self.assertEqual(self.post("next", self.keyed(), held)[0], 200)
                self.assertEqual(self.device.read(4), bytes.fromhex("23ffffff"))
                flood = Flood(self.port, hosts, 16, reopen)
                try:
                    time.sleep(0.5)  # every slot taken, and taken back as it comes free
                    for _ in range(3):
                        self.assertEqual(self.send("web-from-" + staff, "play"), bytes.fromhex("20ffffff"))
                    self.assertEqual(self.post("pause", self.keyed(), held)[0], 200, "the keyed connection kept")
                    self.assertEqual(self.device.read(4), bytes.fromhex("21ffffff"))
                    page.setblocking(False)
                    try:
                        self.assertNotEqual(page.recv(4096), b"", "the page kept")
                    except BlockingIOError:
                        pass  # nothing to read, and not closed
                finally:
                    flood.close()
                    held.close()
                    page.close()
                self.assertGreater(flood.closed, 0, "the flood gave way")

    @staticmethod
    def channels(page):
        """Each volume row as a page shows it: its level's words, Mute's state, and the slider where known."""
        rows = []
        for channel in page.find_elements(By.CSS_SELECTOR, "div.channel"):
            slider = channel.find_element(By.CSS_SELECTOR, "input[type='range']")
            rows.append((channel.find_element(By.CSS_SELECTOR, "output.level").text,
                         channel.find_element(By.CSS_SELECTOR, "button.mute").get_attribute("aria-pressed"),
                         None if "unknown" in slider.get_attribute("class") else slider.get_attribute("value")))
        return rows

    def test_pages(self):
        english = browser("en-US")
        french = browser("fr")
        try:
            # Without the key: told to ask, and nothing it can do sends.
            french.get(self.origin + "/")
            locked = WebDriverWait(french, WAIT_S).until(lambda page: page.find_element(By.ID, "locked"))
            WebDriverWait(french, WAIT_S).until(lambda page: locked.is_displayed())
            self.assertIn("l'opérateur", locked.text)
            self.assertFalse(french.find_element(By.ID, "controls").is_displayed())
            refused = french.execute_async_script(
                "fetch('/command', {method: 'POST', body: 'play'})"
                ".then(r => r.text()).then(arguments[0], e => arguments[0](String(e)))")
            self.assertEqual(refused, "error no key: ask the operator for the remote's link\n")
            self.assertEqual(self.device.rest(), b"")

            english.get(f"{self.origin}/?key={self.key}")
            self.assertEqual(english.current_url, self.origin + "/", "the key leaves the address bar")
            play = WebDriverWait(english, WAIT_S).until(
                lambda page: page.find_element(By.CSS_SELECTOR, "button[aria-label='Play']"))
            echo = english.find_element(By.ID, "echo")
            WebDriverWait(english, WAIT_S).until(lambda page: "Port open" in page.find_element(By.ID, "link").text)
            play.click()
            self.assertEqual(self.device.read(4), bytes.fromhex("20ffffff"))
            WebDriverWait(english, WAIT_S).until(lambda page: echo.text == "Play : 0x20 0xff 0xff 0xff")
            if os.environ.get("REMOTE_SCREENSHOT"):  # the README's picture: a phone, 390 x 844
                english.save_screenshot(os.environ["REMOTE_SCREENSHOT"])

            # A volume step on its own channel, the step typed in.
            step = english.find_element(By.CSS_SELECTOR, "input[aria-label='XLR volume step']")
            step.clear()
            step.send_keys("3")
            step.find_element(By.XPATH, "following-sibling::button").click()  # More, beside the step
            self.assertEqual(self.device.read(4), bytes.fromhex("31002302"))
            # "Relative Volume …" while the outcome is on its way.
            WebDriverWait(english, WAIT_S).until(lambda page: echo.text == "Relative Volume : 0x31 0x00 0x23 0x02")

            # What other doors set is what a page opened later shows; what nobody set it says it does not know.
            self.assertEqual(self.channels(english)[0], ("Level unknown · Mute unknown", "mixed", None))
            sets = {words: self.send(door, words) for door, words in [
                ("web", "mute xlr on"), ("tcp", "volume xlr -20"), ("tcp", "volume rca -7"), ("web", "volume rca up 3"),
                ("tcp", "volume all down 2")]}  # a step from an unknown level: still unknown

            # The French page, keyed now, sees the English page's command.
            french.get(f"{self.origin}/?key={self.key}")
            arret = WebDriverWait(french, WAIT_S).until(
                lambda page: page.find_element(By.CSS_SELECTOR, "button[aria-label='Arrêt']"))
            self.assertEqual(french.find_element(By.TAG_NAME, "html").get_attribute("lang"), "fr")
            self.assertIn("Dossier", [title.text for title in french.find_elements(By.TAG_NAME, "h2")])
            self.assertTrue(arret.is_displayed())
            WebDriverWait(french, WAIT_S).until(lambda page: "Port ouvert" in page.find_element(By.ID, "link").text)
            english.find_element(By.CSS_SELECTOR, "button[aria-label='Stop']").click()
            self.assertEqual(self.device.read(4), bytes.fromhex("22ffffff"))
            WebDriverWait(french, WAIT_S).until(
                lambda page: page.find_element(By.ID, "echo").text == "Arrêt : 0x22 0xff 0xff 0xff")
            self.assertEqual(self.channels(french), [("Niveau inconnu · Sourdine inconnue", "mixed", None),
                                                     ("-20 dB", "true", "-20"),
                                                     ("-4 dB · Sourdine inconnue", "mixed", "-4")])

            # Mute acts on what is shown: XLR is muted, so it unmutes, and both pages follow.
            french.find_elements(By.CSS_SELECTOR, "div.channel button.mute")[1].click()
            on = sets["mute xlr on"]
            self.assertEqual(self.device.read(4), on[:2] + b"\x00" + on[3:])
            for page in (french, english):
                WebDriverWait(page, WAIT_S).until(lambda page: self.channels(page)[1][1] == "false")
        finally:
            english.quit()
            french.quit()


if __name__ == "__main__":
    if len(sys.argv) > 1:
        BRIDGE = sys.argv.pop(1)
    unittest.main(verbosity=2)
