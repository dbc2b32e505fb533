"""The venue's remote as a phone uses it: tunaris-bridge --web on a
pseudo-terminal whose far end is read byte for byte, driven by headless
Chromium through Selenium and by a plain HTTP client. Loopback only.

    /usr/bin/python3 web_remote.py BRIDGE

With REMOTE_SCREENSHOT=FILE.png it keeps the English page, as a phone shows
it after Play, in that file.
"""
import http.client
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
    addresses), asking for the icon and keeping its connection, and opened again as soon as the bridge closes it."""

    REQUEST = b"GET /icon.png HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"

    def __init__(self, port, hosts, per_host):
        self.port = port
        self.hosts = {}  # socket: the host it came from
        self.reopened = 0
        self.lock = threading.Lock()
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
                    with self.lock:
                        self.reopened += 1
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
        cls.bridge = subprocess.Popen([BRIDGE, "--port", cls.device.path, "--web", "127.0.0.1:0"],
                                      env=environment, stdout=subprocess.DEVNULL, stderr=cls.errors)
        deadline = time.monotonic() + WAIT_S
        found = None
        while not found and time.monotonic() < deadline and cls.bridge.poll() is None:
            time.sleep(0.1)
            cls.errors.seek(0)
            found = re.search(r"web remote on 127\.0\.0\.1:(\d+)", cls.errors.read())
        if not found:
            cls.tearDownClass()
            raise RuntimeError("the bridge did not start its web remote")
        cls.port = int(found.group(1))
        cls.origin = f"http://127.0.0.1:{cls.port}"
        with open(os.path.join(cls.config, "tunaris-bridge", "web-key")) as key:
            cls.key = key.read().strip()

    @classmethod
    def tearDownClass(cls):
        cls.bridge.terminate()
        cls.bridge.wait(WAIT_S)
        cls.errors.close()
        cls.folder.cleanup()

    def tearDown(self):
        self.assertEqual(self.device.rest(), b"", "nothing more on the line")

    def client(self, source="127.0.0.3"):
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=WAIT_S, source_address=(source, 0))

    def post(self, body, headers, client=None):
        connection = client or self.client()
        connection.request("POST", "/command", body=body, headers=headers)
        response = connection.getresponse()
        answer = (response.status, response.read().decode())
        if not client:
            connection.close()
        return answer

    def upgrade(self, headers):
        with socket.create_connection(("127.0.0.1", self.port), timeout=WAIT_S) as client:
            lines = [f"GET /events HTTP/1.1", f"Host: 127.0.0.1:{self.port}", "Upgrade: websocket",
                     "Connection: Upgrade", "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==",
                     "Sec-WebSocket-Version: 13"] + [f"{name}: {value}" for name, value in headers.items()]
            client.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
            return client.recv(64).split(b"\r\n")[0].decode()

    def test_key_is_private(self):
        mode = os.stat(os.path.join(self.config, "tunaris-bridge", "web-key")).st_mode
        self.assertEqual(stat.S_IMODE(mode), 0o600)
        self.errors.seek(0)
        self.assertNotIn(self.key, self.errors.read(), "the key is never in a report")

    def test_refused_requests_send_nothing(self):
        good = {"Cookie": f"tunaris_key={self.key}", "Origin": self.origin}
        cases = [
            ("no key", "play", {"Origin": self.origin}, 403, "error no key"),
            ("wrong key", "play", {"Cookie": "tunaris_key=" + "A" * len(self.key), "Origin": self.origin}, 403,
             "error no key"),
            ("another site's page", "play", dict(good, Origin="http://192.0.2.1"), 403,
             "error not from the remote's own page"),
            ("no Origin", "play", {"Cookie": good["Cookie"]}, 403, "error not from the remote's own page"),
            ("oversized body", "play " + "x" * 252, good, 413, "error a command is at most 256 bytes"),
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
                              ("events for another site", {"Cookie": good["Cookie"], "Origin": "http://192.0.2.1"})]:
            with self.subTest(name):
                self.assertEqual(self.upgrade(headers), "HTTP/1.1 403 Forbidden")

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
            WebDriverWait(english, WAIT_S).until(lambda page: echo.text.startswith("Relative"))
            self.assertEqual(echo.text, "Relative Volume : 0x31 0x00 0x23 0x02")

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
        finally:
            english.quit()
            french.quit()


if __name__ == "__main__":
    if len(sys.argv) > 1:
        BRIDGE = sys.argv.pop(1)
    unittest.main(verbosity=2)
