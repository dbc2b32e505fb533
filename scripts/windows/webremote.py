"""The venue's remote of the Windows bridge, as staff meet it: check.sh runs

    python3 webremote.py OUTPUT wine tunaris-bridge.exe --port COM5 --web 127.0.0.1:PORT

which starts the bridge in a console (a pseudo-terminal, which Wine gives
the program as its console window), reads the link and the QR code it
prints there, decodes the code with zbarimg as a phone's camera would, opens
the decoded link in headless Chromium and taps Play, then ends the bridge.
Everything the console showed is kept in OUTPUT. Prints one line per step
("link URL", "qr URL", "echo TEXT") and exits 0 when all of them happened.
"""
import os
import pty
import re
import select
import signal
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

WAIT_S = 90  # Wine starts a program slowly on a loaded machine
ESCAPE = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]")
BLOCKS = {" ": (0, 0), "\u2580": (1, 0), "\u2584": (0, 1), "\u2588": (1, 1)}


def plain(text):
    return ESCAPE.sub("", text).replace("\r", "")


def code_lines(text):
    return re.findall(r"^[\u2580\u2584\u2588 ]{21,}$", plain(text), re.M)


def code_complete(text):
    """Whether all of the code is there: with its border of 4 modules, as
    many lines as half its width."""
    lines = code_lines(text)
    return bool(lines) and len(lines) >= (len(lines[0]) + 1) // 2


def read_console(fd, done, deadline, text=""):
    """What the console shows, until done(text) or the deadline."""
    while time.monotonic() < deadline and not done(text):
        if select.select([fd], [], [], 0.5)[0]:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            text += chunk.decode("utf-8", "replace")
    return text


def decode_qr(lines):
    """The text of the QR code drawn in half blocks, two rows a line."""
    rows = []
    width = max(len(line) for line in lines)
    for line in (line.ljust(width) for line in lines):
        top, bottom = [], []
        for character in line:
            upper, lower = BLOCKS[character]
            top.append(upper)
            bottom.append(lower)
        rows += [top, bottom]
    scale = 8
    with tempfile.NamedTemporaryFile(suffix=".pbm") as image:
        width = len(rows[0]) * scale
        image.write(f"P1\n{width} {len(rows) * scale}\n".encode())
        for row in rows:
            line = " ".join(str(module) for module in row for _ in range(scale)) + "\n"
            image.write(line.encode() * scale)
        image.flush()
        result = subprocess.run(["zbarimg", "--quiet", "--raw", image.name], capture_output=True, text=True)
    return result.stdout.strip()


def play(url):
    options = Options()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--lang=en-US"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        driver.get(url)
        button = WebDriverWait(driver, WAIT_S).until(
            lambda page: page.find_element(By.CSS_SELECTOR, "button[aria-label='Play']"))
        WebDriverWait(driver, WAIT_S).until(lambda page: "Port open" in page.find_element(By.ID, "link").text)
        button.click()
        echo = driver.find_element(By.ID, "echo")
        WebDriverWait(driver, WAIT_S).until(lambda page: echo.text.startswith("Play"))
        return echo.text
    finally:
        driver.quit()


def main():
    output, command = sys.argv[1], sys.argv[2:]
    pid, fd = pty.fork()
    if pid == 0:
        os.execvp(command[0], command)
    deadline = time.monotonic() + WAIT_S
    ok = False
    text = ""
    try:
        # The link, then its code.
        link_line = re.compile(r"^  (http://\S+)$", re.M)
        text = read_console(fd, lambda shown: link_line.search(plain(shown)), deadline)
        link = link_line.search(plain(text))
        if link:
            print("link", link.group(1), flush=True)
            text = read_console(fd, code_complete, deadline, text)
            decoded = decode_qr(code_lines(text)) if code_lines(text) else ""
            print("qr", decoded or "(none)", flush=True)
            if decoded == link.group(1):
                print("echo", play(decoded), flush=True)
                ok = True
    finally:
        os.kill(pid, signal.SIGTERM)
        while select.select([fd], [], [], 2)[0]:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            text += chunk.decode("utf-8", "replace")
        os.waitpid(pid, 0)
        with open(output, "w") as kept:
            kept.write(plain(text))
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
