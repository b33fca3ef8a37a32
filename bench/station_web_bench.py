#!/usr/bin/env python3
"""The station's live page under load: 16 ports flashing at once (virtual handsets, several
units each) and three pages open in chromium (bench/station_web_pages.cjs). It reports:
  - event to page: from the station stamping a change (a port's progress, a unit's end) to
    the page's handler having applied it, p50 and p99 over every message of the three pages
    (station and browser on one machine, one clock);
  - the web server's CPU over the run: user + system time of the station's threads named
    tarvolo-web (the server's watch and each connection's), as a share of one core, beside the station's
    whole process;
  - what the page weighs: each file the page loads, as served and gzipped (level 6).
It measures, it does not test: not part of the test command. On a release build:
    scripts/build.sh release tarvolo tarvolo-handset && scripts/install-puppeteer.sh
    python3 bench/station_web_bench.py
"""
import argparse
import gzip
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
BIN = os.environ.get("TARVOLO_BIN", os.path.join(TOP, "build", "release", "bin"))
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))
from harness import Handset, make_release  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")
PAGE_FILES = ["/", "/page.css", "/page.js", "/station.js", "/chart.js"]


def cpu_of(pid, only_named=None):
    """User + system seconds of the process's threads (those named `only_named`, if given)."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
                name = f.read().strip()
            with open("/proc/%d/task/%s/stat" % (pid, tid)) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if only_named is None or name == only_named:
            total += int(fields[11]) + int(fields[12])
    return total / TICKS


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def page_weight(port):
    rows = []
    for path in PAGE_FILES:
        body = urllib.request.urlopen("http://127.0.0.1:%d%s" % (port, path), timeout=10).read()
        rows.append((path, len(body), len(gzip.compress(body, 6))))
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ports", type=int, default=16)
    parser.add_argument("--units-per-port", type=int, default=4)
    parser.add_argument("--pages", type=int, default=3)
    a = parser.parse_args()
    work = tempfile.mkdtemp(prefix="tarvolo-web-bench-")
    release = os.path.join(work, "image.rel")
    make_release(release, [bytes((n * 7 + i) % 253 for i in range(256)) for n in range(48)])
    handsets = []
    for i in range(a.ports):
        folder = os.path.join(work, "port%d" % (i + 1))
        os.makedirs(folder)
        handsets.append(Handset(folder, "--block-size", 256, "--erase-ms", 50, "--write-ms", 30,
                                "--units", a.units_per_port, "--unit-stay-ms", 800, "--unit-gap-ms", 800))
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    units = a.ports * a.units_per_port
    station = subprocess.Popen(
        [os.path.join(BIN, "tarvolo"), "station", "--ports", ",".join(h.link for h in handsets),
         "--log", os.path.join(work, "record.db"), "--units", str(units), "--rearm-silence", "0.5",
         "--http", "127.0.0.1:%d" % port, release],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, cwd=work)
    try:
        time.sleep(1)
        weight = page_weight(port)
        started, web0, all0 = time.monotonic(), cpu_of(station.pid, "tarvolo-web"), cpu_of(station.pid)
        pages = subprocess.Popen(
            ["node", os.path.join(HERE, "station_web_pages.cjs"),
             json.dumps({"url": "http://127.0.0.1:%d/" % port, "pages": a.pages, "units": units})],
            stdout=subprocess.PIPE, text=True,
            env=dict(os.environ, TARVOLO_NODE=os.environ.get("TARVOLO_NODE", os.path.join(TOP, "build", "node"))))
        # The station stops once its units are done, and its server with it: measure before.
        deadline = time.monotonic() + 600
        while station.poll() is None and time.monotonic() < deadline:
            web1, all1, ended = cpu_of(station.pid, "tarvolo-web"), cpu_of(station.pid), time.monotonic()
            time.sleep(0.2)
        out, _ = pages.communicate(timeout=120)
    finally:
        if station.poll() is None:
            station.kill()
        station.wait()
        for h in handsets:
            h.stop()
    result = json.loads(out.strip().splitlines()[-1])
    if "error" in result:
        sys.exit("pages: " + result["error"])
    lags = [x for page in result["lags"] for x in page]
    wall = ended - started
    print("%d ports, %d units, %d pages open, %.1f s" % (a.ports, units, a.pages, wall))
    print("event to page: %d messages, p50 %d ms, p99 %d ms, max %d ms" %
          (len(lags), percentile(lags, 0.5), percentile(lags, 0.99), max(lags)))
    print("web server threads' CPU: %.2f s = %.1f%% of one core (station process: %.1f%%)" %
          (web1 - web0, 100 * (web1 - web0) / wall, 100 * (all1 - all0) / wall))
    print("page weight (as served, gzipped):")
    for path, size, packed in weight:
        print("  %-12s %8d %8d" % (path, size, packed))
    print("  %-12s %8d %8d" % ("total", sum(r[1] for r in weight), sum(r[2] for r in weight)))


if __name__ == "__main__":
    main()
