#!/usr/bin/env python3
"""Wall time of tunaris-send runs to a serial device server on the loopback
address that reads every byte and closes when its client does, as raw TCP
device servers do. Every run must exit 0 and the server must have read
exactly the frames.

    bench/deviceserver/run.py <tunaris-send> [runs]

Prints the median, the 90th percentile and the maximum in milliseconds.
"""
import socket
import statistics
import subprocess
import sys
import threading
import time

send = sys.argv[1]
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 50
expected = bytes.fromhex("20ffffff 22ffffff 23ffffff")

server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen(4)
received = []


def serve():
    while True:
        client, _ = server.accept()
        data = b""
        while chunk := client.recv(4096):
            data += chunk
        client.close()
        received.append(data)
        if len(received) == runs:
            return


threading.Thread(target=serve, daemon=True).start()
port = "tcp://127.0.0.1:%d" % server.getsockname()[1]
times = []
for _ in range(runs):
    start = time.perf_counter()
    status = subprocess.run([send, "--port", port, "play", "stop", "next"]).returncode
    times.append((time.perf_counter() - start) * 1000)
    if status != 0:
        sys.exit("run ended with status %d" % status)
deadline = time.time() + 5
while len(received) < runs and time.time() < deadline:
    time.sleep(0.01)
if received != [expected] * runs:
    sys.exit("the server did not read exactly the frames of every run")
times.sort()
print("%d runs: median %.1f ms, p90 %.1f ms, max %.1f ms"
      % (runs, statistics.median(times), times[int(runs * 0.9) - 1], times[-1]))
