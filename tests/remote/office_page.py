"""The office's page as an office uses it: a real Mosquitto on the loopback
address, real tunaris-bridge processes on pseudo-terminals whose far ends are
read byte for byte, the states of the other players of a fleet published
retained as their bridges publish them, and the office's bridge
(tunaris-bridge --mqtt ... --office ...) driven by headless Chromium through
Selenium, by a plain HTTP client and by tunaris-send. Loopback only.

    /usr/bin/python3 office_page.py BRIDGE SEND

With OFFICE_SCREENSHOTS=FOLDER it keeps the page with its 50 players, in
English and in French, as office-en.png and office-fr.png there.
"""
import datetime
import http.client
import json
import os
import re
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest

from selenium.common.exceptions import TimeoutException
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from web_remote import Device, browser  # noqa: E402 (the remote's player end and browser)

BRIDGE = "tools/tunaris-bridge"  # or the first argument
SEND = "tools/tunaris-send"  # or the second
WAIT_S = 20
STATE_EXPIRY_S = 10 * 365 * 24 * 3600  # as a bridge publishes its state
REAL = ["shop-01", "shop-02", "shop-03"]  # players with a bridge of their own
OFFLINE = {"shop-07": 3600, "shop-19": 600, "shop-28": 86400, "shop-44": 120}  # and since how long, in seconds
LOST = "shop-33"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def utc(seconds_ago=0):
    moment = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(seconds=seconds_ago)
    return moment.isoformat(timespec="milliseconds").replace("+00:00", "Z")


def wait_for(condition, what, timeout=WAIT_S):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = condition()
        if found:
            return found
        time.sleep(0.05)
    raise AssertionError("waited in vain for " + what)


class Fleet:
    """A broker of the test's own, the bridges and the retained states of a fleet on it."""

    def __init__(self, folder, bridge=None):
        self.folder = folder
        self.bridge_path = bridge or BRIDGE
        self.port = free_port()
        config = os.path.join(folder, "mosquitto.conf")
        with open(config, "w") as file:
            # Started as root, Mosquitto would drop to its own user.
            file.write(("user root\n" if os.geteuid() == 0 else "") + "log_type error\nset_tcp_nodelay true\nmax_queued_messages 10000\n"
                       f"listener {self.port} 127.0.0.1\nallow_anonymous true\n")
        self.broker_log = open(os.path.join(folder, "mosquitto.log"), "w")
        self.broker = subprocess.Popen(["mosquitto", "-c", config], stdout=self.broker_log, stderr=self.broker_log)
        wait_for(lambda: self.reachable(), "the broker")
        self.processes = []
        self.reports = []
        self.environment = dict(os.environ, XDG_RUNTIME_DIR=os.path.join(folder, "run"),
                                XDG_STATE_HOME=os.path.join(folder, "state"),
                                XDG_CONFIG_HOME=os.path.join(folder, "config"))
        self.environment.pop("STATE_DIRECTORY", None)
        os.makedirs(self.environment["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)

    def reachable(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
            return True
        except OSError:
            return False

    @property
    def url(self):
        return f"mqtt://127.0.0.1:{self.port}"

    def publish(self, topic, payload, *options):
        return subprocess.Popen(["mosquitto_pub", "-p", str(self.port), "-V", "5", "-q", "1", "-t", topic]
                                + (["-m", payload] if payload is not None else ["-n"]) + list(options))

    def publish_states(self, states):
        """Each player's state, retained with the properties its bridge gives it: {player: (state, age)}."""
        publishers = [self.publish(f"tunaris/players/{player}/state", json.dumps(state), "-r",
                                   "-D", "publish", "user-property", "player", player,
                                   "-D", "publish", "message-expiry-interval", str(STATE_EXPIRY_S - age))
                      for player, (state, age) in states.items()]
        for publisher in publishers:
            assert publisher.wait(WAIT_S) == 0

    def remove_state(self, player):
        assert self.publish(f"tunaris/players/{player}/state", None, "-r").wait(WAIT_S) == 0

    def start(self, arguments, until, errors_name):
        errors = open(os.path.join(self.folder, errors_name), "w+")
        self.reports.append(errors)
        process = subprocess.Popen([self.bridge_path, "--mqtt", self.url] + arguments, env=self.environment,
                                   stdout=subprocess.DEVNULL, stderr=errors)
        self.processes.append(process)

        def said():
            errors.seek(0)
            return re.search(until, errors.read())
        found = wait_for(lambda: said() or process.poll() is not None, errors_name)
        if not hasattr(found, "group"):
            errors.seek(0)
            raise RuntimeError(f"{errors_name} ended: {errors.read()}")
        return process, errors, found

    def player(self, player, groups, device):
        options = ["--port", device.path, "--player", player]
        for group in groups:
            options += ["--group", group]
        return self.start(options, "taking the commands of", player + ".err")[0]

    def office(self, *options):
        process, errors, found = self.start(["--office", "127.0.0.1:0"] + list(options),
                                            r"office's page on 127\.0\.0\.1:(\d+).*\n(.|\n)*showing \d+ players?",
                                            "office.err")
        return process, errors, int(found.group(1))

    def said(self, errors_name):
        for errors in self.reports:
            if errors.name.endswith("/" + errors_name):
                errors.seek(0)
                return f"{errors_name}:\n{errors.read()[-4000:]}\n"
        return ""

    def stop(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.send_signal(signal.SIGCONT)
                process.terminate()
                process.wait(WAIT_S)
        self.broker.terminate()
        self.broker.wait(WAIT_S)
        self.broker_log.close()
        for errors in self.reports:
            errors.close()


def fleet_states(count, real=()):
    """A fleet of `count` players, shop-01 to shop-NN, in the groups shops and north or south, a few offline and
    one with its line lost, as their bridges would have published them: {player: (state, age)}."""
    states = {}
    for number in range(1, count + 1):
        player = f"shop-{number:02}"
        if player in real:
            continue
        offline = OFFLINE.get(player)
        state = {"online": offline is None, "host": f"shop{number:02}-pc", "port": "/dev/ttyUSB0",
                 "groups": ["shops", "north" if number % 2 else "south"],
                 "last": {"command": "playlist 4 --seq", "bytes": "04 01 04 ff", "time": utc(7200 + number * 61)}}
        if offline is None:
            state["since"] = utc(86400 + number * 97)
            state["link"] = "lost" if player == LOST else "open"
        if player == LOST:
            state["answer"] = {"command": "next", "reply": "error not sent: the line to /dev/ttyUSB0 was lost",
                               "time": utc(30)}
        states[player] = (state, offline or 1)
    return states


class OfficePageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.fleet = Fleet(cls.folder.name)
        try:
            cls.devices = {player: Device() for player in REAL}
            cls.bridges = {player: cls.fleet.player(player, ["shops", "north" if index % 2 == 0 else "south"],
                                                    cls.devices[player])
                           for index, player in enumerate(REAL)}
            cls.fleet.publish_states(fleet_states(50, REAL))
            cls.office, cls.errors, cls.port = cls.fleet.office()
        except Exception:
            cls.fleet.stop()
            raise
        cls.origin = f"http://127.0.0.1:{cls.port}"
        with open(os.path.join(cls.fleet.environment["XDG_CONFIG_HOME"], "tunaris-bridge", "office-key")) as key:
            cls.key = key.read().strip()

    @classmethod
    def tearDownClass(cls):
        cls.fleet.stop()
        cls.folder.cleanup()

    def tearDown(self):
        for player, device in self.devices.items():
            rest = device.rest()
            if rest:  # what the player's bridge and the office said of it, to tell when it went out
                self.fail(f"{rest.hex(' ')} more on the line of {player}\n" + self.fleet.said(player + ".err")
                          + self.fleet.said("office.err"))

    def keyed(self):
        return {"Cookie": f"tunaris_office_key={self.key}", "Origin": self.origin}

    def post(self, body, headers=None, source="127.0.0.3"):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=WAIT_S + 10,
                                                source_address=(source, 0))
        connection.request("POST", "/command", body=body if isinstance(body, (bytes, str)) else json.dumps(body),
                           headers=self.keyed() if headers is None else headers)
        response = connection.getresponse()
        answer = (response.status, response.read().decode())
        connection.close()
        return answer

    def frames(self, players, frame):
        for player in players:
            self.assertEqual(self.devices[player].read(len(frame)), frame, player)

    def test_key_of_its_own(self):
        path = os.path.join(self.fleet.environment["XDG_CONFIG_HOME"], "tunaris-bridge", "office-key")
        self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600)
        self.errors.seek(0)
        self.assertNotIn(self.key, self.errors.read(), "the key is never in a report")
        # An office whose key file holds a venue's key does not start.
        config = os.path.join(self.folder.name, "copied")
        os.makedirs(os.path.join(config, "tunaris-bridge"))
        for name in ("web-key", "office-key"):
            descriptor = os.open(os.path.join(config, "tunaris-bridge", name), os.O_WRONLY | os.O_CREAT, 0o600)
            os.write(descriptor, (self.key + "\n").encode())
            os.close(descriptor)
        refused = subprocess.run([BRIDGE, "--mqtt", self.fleet.url, "--office", "127.0.0.1:0"], capture_output=True,
                                 text=True, timeout=WAIT_S, env=dict(self.fleet.environment, XDG_CONFIG_HOME=config))
        self.assertEqual(refused.returncode, 1)
        self.assertIn("holds the venue remote's key", refused.stderr)
        self.assertNotIn(self.key, refused.stderr)

    def test_refused_requests_send_nothing(self):
        good = self.keyed()
        venue_cookie = {"Cookie": f"tunaris_key={self.key}", "Origin": self.origin}
        wrong = dict(good, Cookie="tunaris_office_key=" + "A" * len(self.key))
        play = {"group": "shops", "command": "play"}
        cases = [  # name, body, headers, status, the answer's start
            ("no key", play, {"Origin": self.origin}, 403, "error no key"),
            ("a venue's cookie", play, venue_cookie, 403, "error no key"),
            ("wrong key", play, wrong, 403, "error wrong key"),
            ("another site's page", play, dict(good, Origin="http://192.0.2.1"), 403,
             "error not from the remote's own page"),
            ("not JSON", "play", good, 400, "error a request is a JSON object"),
            ("player and group", {"player": "shop-01", "group": "shops", "command": "play"}, good, 400,
             "error a request is a JSON object"),
            ("no command", {"group": "shops"}, good, 400, "error a request is a JSON object"),
            ("a name that is a topic", {"group": "shops/#", "command": "play"}, good, 400,
             "error 'shops/#' is not a group name"),
            ("a ref of markup", dict(play, ref="<b>x</b>"), good, 400, "error a request is a JSON object"),
            ("two commands", {"group": "shops", "command": "play\nstop"}, good, 400, "error one command per request"),
            ("out of range", {"group": "shops", "command": "folder 1000"}, good, 400,
             "error folder 1000 is out of range"),
            ("unknown player", {"player": "shop-99", "command": "play"}, good, 404,
             "error no player shop-99 is known to the broker"),
            ("unknown group", {"group": "west", "command": "play"}, good, 404,
             "error no player of group west is known to the broker"),
            ("oversized", "{" + " " * 2000 + "}", good, 413, "error a request is at most 1024 bytes"),
        ]
        for index, (name, body, headers, status, answer) in enumerate(cases):
            with self.subTest(name):
                # Each from an address of its own, within the commands an address may send a second.
                got_status, got_answer = self.post(body, headers, f"127.0.1.{index + 1}")
                self.assertEqual(got_status, status, got_answer)
                self.assertTrue(got_answer.startswith(answer), got_answer)

    def test_answers_as_tunaris_send_gives_them(self):
        """A group command answers every member once, in tunaris-send's words: the office and tunaris-send say
        the same of the same members, and the frames are on the real players' lines once each."""
        status, answer = self.post({"group": "north", "command": "pause"})
        self.assertEqual(status, 503, answer)  # offline members are not sent it
        self.frames(["shop-01", "shop-03"], bytes.fromhex("21ffffff"))
        sent = subprocess.run([SEND, "--mqtt", self.fleet.url, "--group", "north", "pause"], capture_output=True,
                              text=True, timeout=WAIT_S + 10)
        self.assertEqual(sent.returncode, 1, sent.stderr)
        self.frames(["shop-01", "shop-03"], bytes.fromhex("21ffffff"))
        # Each says since when a member is offline as it read it: to the second, which the broker counts in.
        since = re.compile(r"offline since \S+")
        self.assertEqual(since.sub("offline since ...", answer), since.sub("offline since ...", sent.stdout))
        lines = dict(line.split(": ", 1) for line in answer.splitlines())
        self.assertEqual(len(lines), 25)
        self.assertEqual(lines["shop-01"], "ok 21 ff ff ff")
        self.assertTrue(lines["shop-07"].startswith("error not sent: offline since "), lines["shop-07"])
        self.assertEqual(lines["shop-05"], "error not sent: no bridge takes the commands of shop-05")

    def test_pages(self):
        english = browser("en-US")
        french = browser("fr")
        try:
            for driver in (english, french):
                driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                       {"width": 1280, "height": 1000, "deviceScaleFactor": 1, "mobile": False})
            # Without the key: told to ask, and nothing it can do sends.
            french.get(self.origin + "/")
            locked = WebDriverWait(french, WAIT_S).until(lambda page: page.find_element(By.ID, "locked"))
            WebDriverWait(french, WAIT_S).until(lambda page: locked.is_displayed())
            self.assertIn("l'opérateur", locked.text)

            english.get(f"{self.origin}/?key={self.key}")
            self.assertEqual(english.current_url, self.origin + "/", "the key leaves the address bar")
            rows = lambda page: page.find_elements(By.CSS_SELECTOR, "#rows > [role=row]")  # noqa: E731
            WebDriverWait(english, WAIT_S).until(lambda page: len(rows(page)) == 50)
            WebDriverWait(english, WAIT_S).until(
                lambda page: page.find_element(By.ID, "counts").text == "50 players: 46 online, 4 offline")
            row = lambda page, player: page.find_element(  # noqa: E731
                By.XPATH, f"//div[@id='rows']/div[div[@role='rowheader']='{player}']")  # noqa: E731
            self.assertEqual(row(english, LOST).get_attribute("data-link"), "lost")
            self.assertIn("error not sent: the line to /dev/ttyUSB0 was lost", row(english, LOST).text)
            self.assertIn("offline since", row(english, "shop-07").text)

            # The choices of groups and players are made again twice a second at most.
            choose = lambda page, option: WebDriverWait(page, WAIT_S).until(  # noqa: E731
                lambda page: page.find_element(By.CSS_SELECTOR, option)).click()
            # Filtered by group and state, sorted by state: the offline ones of the south.
            shown = lambda page: [r.find_element(By.CSS_SELECTOR, "[role=rowheader]").text for r in rows(page)
                                 if r.is_displayed()]  # noqa: E731
            choose(english, "#group-filter option[value='south']")
            english.find_element(By.CSS_SELECTOR, "#state-filter option[value='offline']").click()
            WebDriverWait(english, WAIT_S).until(lambda page: shown(page) == ["shop-28", "shop-44"])
            english.find_element(By.CSS_SELECTOR, "#state-filter option[value='']").click()
            english.find_element(By.CSS_SELECTOR, "#headers .state button").click()
            WebDriverWait(english, WAIT_S).until(lambda page: shown(page)[:2] == ["shop-28", "shop-44"])
            english.find_element(By.CSS_SELECTOR, "#group-filter option[value='']").click()

            # A group with a frozen member: every other answer shows as it comes, the frozen one's is unknown.
            os.kill(self.bridges["shop-02"].pid, signal.SIGSTOP)
            try:
                choose(english, "#target option[value='group:south']")
                english.find_element(By.CSS_SELECTOR, "#transport button[title='Next']").click()
                answers = lambda page, word: page.find_elements(  # noqa: E731
                    By.CSS_SELECTOR, f"#send-list > li:first-child .answers li.{word}")
                WebDriverWait(english, WAIT_S).until(lambda page: len(answers(page, "error")) == 24)
                self.assertEqual([item.get_attribute("textContent") for item in answers(english, "waiting")],
                                 ["shop-02 waiting for its answer"])
                try:
                    WebDriverWait(english, WAIT_S + 10).until(lambda page: answers(page, "unknown"))
                except TimeoutException:
                    self.fail("no unknown for shop-02; the page's sends: "
                              + english.find_element(By.ID, "send-list").get_attribute("textContent")[:2000]
                              + "\n" + self.fleet.said("office.err") + self.fleet.said("shop-02.err"))
                self.assertIn("unknown no answer within 15 s", answers(english, "unknown")[0].get_attribute("textContent"))
            finally:
                os.kill(self.bridges["shop-02"].pid, signal.SIGCONT)
            # Woken, the bridge finds the command expired: it never plays.
            time.sleep(1)

            # One player, picked from its row, by its transport button.
            row(english, "shop-01").find_element(By.CSS_SELECTOR, "button.pick").click()
            english.find_element(By.CSS_SELECTOR, "#transport button[title='Play']").click()
            self.frames(["shop-01"], bytes.fromhex("20ffffff"))
            WebDriverWait(english, WAIT_S).until(lambda page: "play ok 20 ff ff ff" in row(page, "shop-01").text)
            # Words typed in and Enter: those words, not the first button's.
            english.find_element(By.ID, "words").send_keys("volume xlr -20", Keys.ENTER)
            self.frames(["shop-01"], bytes.fromhex("30002c02"))
            english.find_element(By.ID, "words").clear()
            english.find_element(By.CSS_SELECTOR, "#transport button[title='Play']").click()
            self.frames(["shop-01"], bytes.fromhex("20ffffff"))
            WebDriverWait(english, WAIT_S).until(lambda page: "shop-01 sent ok 20 ff ff ff" in page.find_element(
                By.CSS_SELECTOR, "#send-list > li:first-child .answers").get_attribute("textContent"))

            # The French page, with the key now, sees the English page's commands and the same players.
            french.get(f"{self.origin}/?key={self.key}")
            WebDriverWait(french, WAIT_S).until(lambda page: len(rows(page)) == 50)
            self.assertEqual(french.find_element(By.TAG_NAME, "html").get_attribute("lang"), "fr")
            self.assertEqual(french.find_element(By.CSS_SELECTOR, "#transport button").text, "Lecture")
            WebDriverWait(french, WAIT_S).until(
                lambda page: "50 lecteurs : 46 en ligne, 4 hors ligne" == page.find_element(By.ID, "counts").text)
            self.assertGreaterEqual(len(french.find_elements(By.CSS_SELECTOR, "#send-list > li")), 2)

            # Live: a player's bridge vanishes, its will says so on both pages; a state removed leaves them.
            self.bridges["shop-03"].kill()
            self.bridges["shop-03"].wait(WAIT_S)
            for driver in (english, french):
                WebDriverWait(driver, WAIT_S).until(lambda page: row(page, "shop-03").get_attribute("data-state") == "offline")
            self.fleet.remove_state("shop-50")
            WebDriverWait(english, WAIT_S).until(lambda page: len(rows(page)) == 49)

            folder = os.environ.get("OFFICE_SCREENSHOTS")
            if folder:  # the README's pictures: 50 players, a few offline, one lost
                self.fleet.publish_states({"shop-50": fleet_states(50)["shop-50"]})
                for language, driver in (("en", english), ("fr", french)):
                    WebDriverWait(driver, WAIT_S).until(lambda page: len(rows(page)) == 50)
                    driver.execute_script("document.querySelector('#send-list details').open = true")
                    driver.save_screenshot(os.path.join(folder, f"office-{language}.png"))
        finally:
            english.quit()
            french.quit()


if __name__ == "__main__":
    if len(sys.argv) > 2:
        SEND = sys.argv.pop(2)
    if len(sys.argv) > 1:
        BRIDGE = sys.argv.pop(1)
    unittest.main(verbosity=2)
