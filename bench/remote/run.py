"""The venue's remote, measured: tap to wire through the page, and the
bridge's memory with pages open. Starts tunaris-bridge --web on a
pseudo-terminal, on the loopback address, and drives headless Chromium
through Selenium (Debian's, hence /usr/bin/python3):

    /usr/bin/python3 bench/remote/run.py <tunaris-bridge> [taps]

(a) the bridge's resident memory with no page open, then with ten pages open
in one browser, each with its events; (b) tap to wire: from the click on Play,
as the page dispatches it, until its four bytes can be read at the far end,
`taps` taps (default 200) after 10 warm-up ones, four a second so as to stay
inside the remote's limit of five. Median, 99th percentile and maximum;
(c) the staff through a keyless flood: 64 connections without the key, 16
from each of four loopback addresses, hold the slots, each asking for the
icon and opened again at once whenever the bridge closes it; meanwhile
`tries` (default 40) keyed commands from a fifth address, four a second, each
on a new connection: how many are answered ok, and from its connection until
its frame can be read at the far end.
"""
import http.client
import os
import re
import select
import statistics
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "remote"))
from web_remote import Flood  # noqa: E402 (the tests' attacker)

bridge_path = sys.argv[1]
taps = int(sys.argv[2]) if len(sys.argv) > 2 else 200
tries = int(sys.argv[3]) if len(sys.argv) > 3 else 40
warm_up = 10
pages = 10
frame = bytes.fromhex("20ffffff")


def read_frame(master):
    data = b""
    deadline = time.monotonic() + 10
    while len(data) < len(frame) and time.monotonic() < deadline:
        if select.select([master], [], [], 1)[0]:
            data += os.read(master, len(frame) - len(data))
    if data != frame:
        sys.exit("the far end read %r, not Play's frame" % data)


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        return int(re.search(r"VmRSS:\s+(\d+) kB", status.read()).group(1))


folder = tempfile.TemporaryDirectory()
runtime = os.path.join(folder.name, "run")
os.mkdir(runtime, 0o700)
master, slave = os.openpty()
errors = open(os.path.join(folder.name, "stderr"), "w+")
environment = dict(os.environ, XDG_CONFIG_HOME=os.path.join(folder.name, "config"), XDG_RUNTIME_DIR=runtime)
bridge = subprocess.Popen([bridge_path, "--port", os.ttyname(slave), "--web", "127.0.0.1:0"],
                          env=environment, stdout=subprocess.DEVNULL, stderr=errors)
found = None
while not found and bridge.poll() is None:
    time.sleep(0.1)
    errors.seek(0)
    found = re.search(r"web remote on 127\.0\.0\.1:(\d+)", errors.read())
if not found:
    sys.exit("the bridge did not start its web remote")
with open(os.path.join(folder.name, "config", "tunaris-bridge", "web-key")) as key_file:
    link = "http://127.0.0.1:%s/?key=%s" % (found.group(1), key_file.read().strip())

options = Options()
options.binary_location = "/usr/bin/chromium"
for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
    options.add_argument(argument)
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
try:
    time.sleep(1)
    before = resident_kib(bridge.pid)
    for index in range(pages):
        if index:
            driver.switch_to.new_window("tab")
        driver.get(link)
        WebDriverWait(driver, 20).until(lambda page: "Port open" in page.find_element(By.ID, "link").text)
    time.sleep(1)
    with_pages = resident_kib(bridge.pid)
    print("(a) resident memory: %.1f MiB with no page, %.1f MiB with %d pages open (+%.0f KiB)"
          % (before / 1024, with_pages / 1024, pages, with_pages - before))

    tap = "const t = performance.timeOrigin + performance.now();" \
          "document.querySelector(\"button[aria-label='Play']\").click(); return t;"
    latencies = []
    for index in range(warm_up + taps):
        started = time.monotonic()
        tapped = driver.execute_script(tap)
        read_frame(master)
        arrived = time.time() * 1000
        if index >= warm_up:
            latencies.append(arrived - tapped)
        time.sleep(max(0.0, 0.25 - (time.monotonic() - started)))
    latencies.sort()
    print("(b) tap to wire, %d taps: median %.2f ms, p99 %.2f ms, max %.2f ms"
          % (taps, statistics.median(latencies), latencies[int(len(latencies) * 0.99) - 1], latencies[-1]))

    driver.quit()
    driver = None  # its pages' slots free again
    time.sleep(1)
    port = int(found.group(1))
    key = link.rsplit("=", 1)[1]
    headers = {"Cookie": "tunaris_key=" + key, "Origin": "http://127.0.0.1:%d" % port}
    flood = Flood(port, ["127.0.0.%d" % host for host in range(2, 6)], 16)
    answered = []
    refused = 0
    try:
        time.sleep(1)
        for index in range(tries):
            started = time.monotonic()
            try:
                staff = http.client.HTTPConnection("127.0.0.1", port, timeout=10, source_address=("127.0.0.6", 0))
                staff.request("POST", "/command", body="play", headers=headers)
                ok = staff.getresponse().read().startswith(b"ok")
                staff.close()
            except OSError:
                ok = False
            if ok:
                read_frame(master)
                answered.append((time.monotonic() - started) * 1000)
            else:
                refused += 1
            time.sleep(max(0.0, 0.25 - (time.monotonic() - started)))
    finally:
        flood.close()
    answered.sort()
    timing = ", median %.2f ms, max %.2f ms" % (statistics.median(answered), answered[-1]) if answered else ""
    print("(c) keyed commands through a keyless flood of 64: %d of %d answered ok%s; the flood's connections "
          "were closed %d times" % (len(answered), tries, timing, flood.closed))
finally:
    if driver:
        driver.quit()
    bridge.terminate()
    bridge.wait(10)
