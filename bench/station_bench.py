#!/usr/bin/env python3
"""A production station flashing many ports at once, through virtual handsets.

For each port count (default 1, 4, 8, 16) it starts that many `tarvolo-handset`s (one unit
each) and one `tarvolo station --json` on all of them, and reports:
  - per port, the ratio of the protocol's limit to the real time of the block transfer (from
    the port's phase change to "writing" to its change to "checksumming", as the station's
    events show them). The limit is what the write frames and their acknowledgements need on
    the line (10 bits per byte) plus the handset's turnaround once per block;
  - the CPU time (user + system) of the station and all its workers over the transfer, as a
    share of one core;
  - the largest memory of the station and all its workers together, as proportional set size
    (shared pages split between the processes that share them) and, for comparison, as the
    resident sizes simply added up (shared pages counted once per process), sampled every 100 ms.
With --image-mib it also reports units per hour for one port and that image size.

It measures, it does not test: it is not part of the test command. Run it on a release build:
    scripts/build.sh release && python3 bench/station_bench.py
"""
import argparse
import json
import os
import queue
import random
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
BIN = os.environ.get("TARVOLO_BIN", os.path.join(TOP, "build", "release", "bin"))
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS
    except OSError:
        return 0.0


def proc_kib(pid, name, key):
    """A "Key: N kB" line of /proc/PID/NAME, in KiB (0 once the process is gone)."""
    try:
        with open("/proc/%d/%s" % (pid, name)) as f:
            for line in f:
                if line.startswith(key):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def pss_kib(pid):
    return proc_kib(pid, "smaps_rollup", "Pss:")


def rss_kib(pid):
    return proc_kib(pid, "status", "VmRSS:")


def children(pid):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    if int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                        found.append(int(entry))
            except OSError:
                pass
    return found


class Station:
    def __init__(self, work, release, links, speed, extra=()):
        cmd = [os.path.join(BIN, "tarvolo"), "station", "--json", "--speed", str(speed),
               "--ports", ",".join(links), "--log", os.path.join(work, "record.db")] + list(extra) + [release]
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     stdin=subprocess.DEVNULL, text=True, cwd=work)
        self.events = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            if line.startswith("{"):
                event = json.loads(line)
                event["at"] = time.monotonic()
                self.events.put(event)

    def processes(self):
        return [self.proc.pid] + children(self.proc.pid)


def run(ports, image_bytes, block_size, turnaround_ms, speed, extra=()):
    work = tempfile.mkdtemp(prefix="tarvolo-station-bench-")
    rng = random.Random(5)
    release = os.path.join(work, "image.rel")
    with open(release, "wb") as f:
        f.write(b"KM52" + bytes(rng.getrandbits(8) for _ in range(image_bytes)))
    handsets, links = [], []
    for n in range(ports):
        link = os.path.join(work, "tty%d" % n)
        handsets.append(subprocess.Popen(
            [os.path.join(BIN, "tarvolo-handset"), "--link", link, "--units", "1",
             "--block-size", str(block_size), "--turnaround-ms", str(turnaround_ms),
             "--erase-ms", "300", "--unit-stay-ms", "600000"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        links.append(link)
    for link in links:
        while not os.path.exists(link):
            time.sleep(0.05)
    station = Station(work, release, links, speed, extra)
    writing, checksumming, ended = {}, {}, {}
    cpu_start = cpu_end = None
    peak_pss = peak_rss = 0
    deadline = time.monotonic() + 600
    while len(ended) < ports and time.monotonic() < deadline:
        try:
            event = station.events.get(timeout=0.1)
        except queue.Empty:
            event = None
        processes = station.processes()
        peak_pss = max(peak_pss, sum(pss_kib(p) for p in processes))
        peak_rss = max(peak_rss, sum(rss_kib(p) for p in processes))
        if event is None:
            continue
        port = event.get("port")
        if event.get("event") == "progress" and event.get("phase") == "writing":
            writing.setdefault(port, event["at"])
            if cpu_start is None:
                cpu_start = (time.monotonic(), sum(cpu_seconds(p) for p in processes))
        if event.get("event") == "progress" and event.get("phase") == "checksumming":
            checksumming.setdefault(port, event["at"])
        if event.get("event") == "unit_end":
            ended[port] = event
    cpu_end = (time.monotonic(), sum(cpu_seconds(p) for p in station.processes()))
    station.proc.send_signal(signal.SIGINT)
    station.proc.wait(30)
    for h in handsets:
        h.send_signal(signal.SIGTERM)
        h.wait(10)

    frames = image_bytes // block_size
    limit = frames * ((block_size + 4 + 4) * 10 / speed + turnaround_ms / 1000)
    ratios = sorted(limit / (checksumming[p] - writing[p]) for p in writing if p in checksumming)
    completed = sum(1 for e in ended.values() if e.get("outcome") == "completed")
    durations = [e["duration_ms"] / 1000 for e in ended.values() if "duration_ms" in e]
    cpu_share = (cpu_end[1] - cpu_start[1]) / (cpu_end[0] - cpu_start[0]) if cpu_start else 0
    return {"ports": ports, "completed": completed, "ratio_min": ratios[0] if ratios else 0,
            "ratio_median": ratios[len(ratios) // 2] if ratios else 0, "cpu_share": cpu_share,
            "peak_pss_mib": peak_pss / 1024, "peak_rss_mib": peak_rss / 1024, "unit_seconds": max(durations) if durations else 0}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--ports", type=int, nargs="+", default=[1, 4, 8, 16])
    parser.add_argument("--image-kib", type=int, default=64)
    parser.add_argument("--image-mib", type=float, default=0,
                        help="also one port with an image this large: units per hour")
    parser.add_argument("--block-size", type=int, default=1024)
    parser.add_argument("--turnaround-ms", type=float, default=2)
    parser.add_argument("--speed", type=int, default=115200)
    parser.add_argument("--captures", choices=["failed", "all", "none"], default="failed",
                        help="which units' captures the station keeps (every unit's is held in memory "
                             "while it runs unless none)")
    args = parser.parse_args()
    print("ports  completed  limit/real (min, median)  CPU of station+workers  memory: PSS (RSS summed)  unit")
    for ports in args.ports:
        r = run(ports, args.image_kib * 1024, args.block_size, args.turnaround_ms, args.speed,
                {"failed": [], "all": ["--capture-all"], "none": ["--no-captures"]}[args.captures])
        print("%5d  %9d  %8.2f%%  %8.2f%%  %18.2f%% of a core  %9.1f MiB (%5.1f MiB)  %5.1f s" % (
            r["ports"], r["completed"], 100 * r["ratio_min"], 100 * r["ratio_median"],
            100 * r["cpu_share"], r["peak_pss_mib"], r["peak_rss_mib"], r["unit_seconds"]))
        sys.stdout.flush()
    if args.image_mib:
        r = run(1, int(args.image_mib * 1024 * 1024), args.block_size, args.turnaround_ms, args.speed)
        print("%.1f MiB image at %d bit/s: %.1f s per unit, %.1f units per hour per port "
              "(without the time to change handsets)" % (
                  args.image_mib, args.speed, r["unit_seconds"], 3600 / r["unit_seconds"]))


if __name__ == "__main__":
    main()
