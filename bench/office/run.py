"""The office's page with a fleet of players, measured in headless Chromium
through Selenium (Debian's, hence /usr/bin/python3):

    /usr/bin/python3 bench/office/run.py BUILD [PLAYERS] [ROUNDS]

A Mosquitto of its own on the loopback address keeps PLAYERS (500 unless
given) retained states, published as their bridges publish them (a few
offline, one with its line lost) by tunaris-state-publisher, and
tunaris-bridge --office serves the page. Measured:
(a) the page opening: from the navigation until every player's row is drawn;
(b) a player's state change to the page showing it: from handing the new
    state to the publisher until the player's row shows it, ROUNDS (100
    unless given) changes of a player taken at random, four a second; median,
    99th percentile and maximum;
(c) every player's state changing at once (a group command to the whole
    fleet): until every row shows its new state, and the longest task that
    held the page's main thread meanwhile (a stall);
(d) the page's memory in the browser (its JavaScript heap, its DOM nodes)
    after opening and after the burst, and the office bridge's resident
    memory.
"""
import json
import os
import random
import re
import statistics
import subprocess
import sys
import tempfile
import time

from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "remote"))
from office_page import Fleet, fleet_states, utc  # noqa: E402 (the tests' fleet)
from web_remote import browser  # noqa: E402

build = sys.argv[1]
players = int(sys.argv[2]) if len(sys.argv) > 2 else 500
rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 100

# Installed before the page's own script: when rows show what is awaited, and
# every task that held the main thread for 50 ms or more.
WATCHER = """
window.__long = [];
new PerformanceObserver((list) => { for (const entry of list.getEntries()) window.__long.push([entry.startTime, entry.duration]); })
  .observe({ type: "longtask", buffered: true });
window.__await = null;
new MutationObserver((mutations) => {
  const now = performance.timeOrigin + performance.now();
  const rows = document.getElementById("rows");
  if (rows && !window.__allAt && rows.childElementCount >= window.__players) window.__allAt = now;
  const awaited = window.__await;
  if (!awaited || awaited.doneAt) return;
  // Each row changed once, however many of its nodes did.
  const changed = new Set();
  for (const mutation of mutations) {
    const node = mutation.target.nodeType === 1 ? mutation.target : mutation.target.parentElement;
    const row = node && node.closest ? node.closest("#rows > .row") : null;
    if (row) changed.add(row);
  }
  for (const row of changed) {
    const id = row.firstElementChild.textContent;
    if (!awaited.left.has(id) || !row.children[4].textContent.includes(awaited.marker)) continue;
    awaited.left.delete(id);
    if (awaited.left.size === 0) awaited.doneAt = now;
  }
}).observe(document, { subtree: true, childList: true, characterData: true });
"""


def resident_mib(pid):
    with open(f"/proc/{pid}/status") as status:
        return int(re.search(r"VmRSS:\s+(\d+) kB", status.read()).group(1)) / 1024


def state_line(player, state, age):
    return f"{player}\t{age}\t{json.dumps(state, separators=(',', ':'))}\n"


def memory(driver):
    metrics = {metric["name"]: metric["value"] for metric in driver.execute_cdp_cmd("Performance.getMetrics", {})["metrics"]}
    return metrics["JSHeapUsedSize"] / 1024 / 1024, int(metrics["Nodes"])


folder = tempfile.TemporaryDirectory()
fleet = Fleet(folder.name, os.path.join(build, "tools", "tunaris-bridge"))
publisher = subprocess.Popen([os.path.join(build, "bench", "office", "tunaris-state-publisher"), str(fleet.port)],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
published = 0


def publish(lines):
    global published
    publisher.stdin.write("".join(lines))
    publisher.stdin.flush()
    published += len(lines)
    while publisher.stdout.readline().strip() != f"published {published}":
        pass


driver = None
try:
    states = fleet_states(players)
    publish([state_line(player, state, age) for player, (state, age) in states.items()])
    office, errors, port = fleet.office()
    with open(os.path.join(fleet.environment["XDG_CONFIG_HOME"], "tunaris-bridge", "office-key")) as key:
        link = f"http://127.0.0.1:{port}/?key={key.read().strip()}"
    driver = browser("en-US")
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": 1280, "height": 1000, "deviceScaleFactor": 1, "mobile": False})
    driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument",
                           {"source": f"window.__players = {players};" + WATCHER})
    driver.execute_cdp_cmd("Performance.enable", {})

    opened = time.time() * 1000
    driver.get(link)
    WebDriverWait(driver, 60).until(lambda page: page.execute_script("return window.__allAt"))
    drawn = driver.execute_script("return window.__allAt") - driver.execute_script("return performance.timeOrigin")
    stalls = driver.execute_script("return window.__long")
    time.sleep(1)
    heap, nodes = memory(driver)
    print("(a) %d players: every row drawn %.0f ms after the navigation (%.0f ms after it was asked for); longest "
          "task %.0f ms" % (players, drawn, driver.execute_script("return window.__allAt") - opened,
                            max([duration for start, duration in stalls], default=0)))

    online = [player for player, (state, age) in states.items() if state["online"]]
    latencies = []
    for index in range(rounds):
        started = time.monotonic()
        player = random.choice(online)
        state = dict(states[player][0], last={"command": f"folder {100 + index}", "bytes": "03 00 64 ff", "time": utc()})
        marker = f"folder {100 + index}"
        driver.execute_script("window.__await = {left: new Set([arguments[0]]), marker: arguments[1]}", player, marker)
        sent = time.time() * 1000
        publisher.stdin.write(state_line(player, state, 1))
        publisher.stdin.flush()
        published += 1
        shown = WebDriverWait(driver, 10, poll_frequency=0.01).until(
            lambda page: page.execute_script("return window.__await.doneAt"))
        latencies.append(shown - sent)
        time.sleep(max(0.0, 0.25 - (time.monotonic() - started)))
    latencies.sort()
    print("(b) a state change to the page, %d rounds with %d players retained: median %.1f ms, p99 %.1f ms, "
          "max %.1f ms" % (rounds, players, statistics.median(latencies),
                           latencies[max(0, int(len(latencies) * 0.99) - 1)], latencies[-1]))

    driver.execute_script("window.__await = {left: new Set(arguments[0]), marker: 'stop'}; window.__long = [];",
                          list(states))
    burst_at = time.time() * 1000
    lines = []
    for player, (state, age) in states.items():
        state = dict(state, answer={"command": "stop", "reply": "ok 22 ff ff ff", "time": utc()})
        lines.append(state_line(player, state, age if not state["online"] else 1))
    publisher.stdin.write("".join(lines))
    publisher.stdin.flush()
    published += len(lines)
    done = WebDriverWait(driver, 60, poll_frequency=0.02).until(
        lambda page: page.execute_script("return window.__await.doneAt"))
    stalls = driver.execute_script("return window.__long")
    longest = max([duration for start, duration in stalls], default=0)
    print("(c) all %d states changed at once: every row shows it %.0f ms after they were handed over; %d tasks of "
          "50 ms or more, the longest %.0f ms" % (players, done - burst_at, len(stalls), longest))

    time.sleep(1)
    heap_after, nodes_after = memory(driver)
    print("(d) the page: JavaScript heap %.1f MiB and %d DOM nodes after opening, %.1f MiB and %d nodes after the "
          "burst; the office bridge %.1f MiB resident" % (heap, nodes, heap_after, nodes_after, resident_mib(office.pid)))
finally:
    if driver:
        driver.quit()
    publisher.stdin.close()
    publisher.wait(10)
    fleet.stop()
    folder.cleanup()
