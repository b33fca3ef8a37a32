#!/usr/bin/env python3
"""A station soak: many units over several ports, each unit with random faults of its own.

Every port is a `tarvolo-handset --units N --scenario FILE` stream whose scenario gives each
unit its faults (drawn from --seed): retried ones the download survives (noise, refused
erases and blocks, wrong block numbers, a dropped acknowledgement), ones that fail the unit
(completion refused, wrong checksum) and an adapter pulled during the unit. One `tarvolo
station --json` flashes them all; afterwards it checks:
  - every unit is in the production record exactly once, and nothing else is;
  - each unit's recorded outcome is the one its faults prescribe, in the order the port's
    handsets came;
  - every completed unit's flash equals the image;
  - no handset was flashed twice;
  - the record passes PRAGMA integrity_check;
  - exactly the units that did not complete name a capture (captures/ATTEMPT-UUID.pcapng beside
    the record), each file is there and within the one-capture bound, and captures/ holds
    nothing else.
With --chaos SECONDS it also, every SECONDS on average, picks one of the station's workers at
random and kills it (SIGKILL or SIGSEGV), stops it briefly (SIGSTOP, SIGCONT a second later)
or stops it for good (the station must notice and end it). A fresh worker then asks for the
handset on its cable to be taken off first; the handsets play the operator who does so,
leaving 20 s after they came whatever happened (--unit-max-ms), so not every unit is flashed,
and the station runs until the last handset has gone, then gets Ctrl-C. A unit whose worker was
killed under it is recorded as failed (13, 15 for a stopped one, 14 for a handset that left
mid-download) instead of its prescribed outcome; everything else above must still hold, and
every handset a download reached is recorded once (after, at most, attempts judged silent that
no download reached: on a loaded machine a handset can be starved past the silence limit).
Exit status 0 when all hold. The test command runs a short one (ctest label soak); the long
run's figures are in docs/reliability.md:
    scripts/build.sh release && TARVOLO_BIN=build/release/bin bench/station_soak.py --ports 8 --units-per-port 25
"""
import argparse
import json
import os
import random
import sqlite3
import subprocess
import sys
import signal
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
BIN = os.path.abspath(os.environ.get("TARVOLO_BIN", os.path.join(TOP, "build", "asan", "bin")))
BLOCK = 256
BLOCKS = 12

# Fault items of a unit, and the outcome each prescribes.
SURVIVED = [{"noise": "30%"}, {"erase-refusals": "2"}, {"block-refusals": "2"},
            {"wrong-block-numbers": "1"}, {"drop-acks": "1"}]
FAILING = [({"completion-refusals": "all"}, ("failed", 6)),
           ({"wrong-checksum": "all"}, ("failed", 4)),
           ({"vanish-after-blocks": 3}, ("port-lost", 12))]


def scenario(rng, units, fault_rate):
    """One line per unit, and the outcome each prescribes."""
    lines, expected = [], []
    for _ in range(units):
        unit, outcome = {}, ("completed", 0)
        if rng.random() < fault_rate:
            unit.update(rng.choice(SURVIVED))
        if rng.random() < fault_rate / 2:
            items, outcome = rng.choice(FAILING)
            unit.update(items)
        lines.append(json.dumps(unit))
        expected.append(outcome)
    return lines, expected


def start_handsets(work, ports, units, rng, fault_rate, extra=()):
    handsets, expected = [], []
    for n in range(ports):
        lines, outcomes = scenario(rng, units, fault_rate)
        path = os.path.join(work, "scenario%d.jsonl" % n)
        with open(path, "w") as f:
            f.write("\n".join(lines) + "\n")
        link = os.path.join(work, "tty%d" % n)
        report = os.path.join(work, "report%d.json" % n)
        proc = subprocess.Popen(
            [os.path.join(BIN, "tarvolo-handset"), "--link", link, "--units", str(units),
             "--scenario", path, "--block-size", str(BLOCK), "--erase-ms", "100",
             "--unit-stay-ms", "1500", "--unit-gap-ms", "1500", "--replug-ms", "800", *extra,
             "--seed", str(rng.randrange(1 << 30)), "--flash-out", os.path.join(work, "flash%d-%%d.bin" % n),
             "--report", report, "--linger-ms", "1000"],
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "handset%d.err" % n), "w"))
        handsets.append((link, proc, report))
        expected.append(outcomes)
    for link, _, _ in handsets:
        while not os.path.exists(link):
            time.sleep(0.05)
    return handsets, expected


def workers_of(pid):
    """The station's worker processes."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                argv = f.read().split(b"\0")
        except (OSError, ValueError, IndexError):
            continue
        if int(fields[1]) == pid and fields[0] != "Z" and b"worker" in argv:
            found.append(int(entry))
    return found


def chaos(station, rng, mean, done, log):
    """Kills, stops and continues the station's workers at random until `done` is set."""
    while not done.wait(rng.uniform(0.5, 1.5) * mean):
        workers = workers_of(station.pid)
        if not workers:
            continue
        pid = rng.choice(workers)
        action = rng.choice(["kill", "segv", "pause", "stop"])
        log.append((round(time.monotonic(), 1), action, pid))
        try:
            if action == "kill":
                os.kill(pid, signal.SIGKILL)
            elif action == "segv":
                os.kill(pid, signal.SIGSEGV)
            elif action == "pause":
                os.kill(pid, signal.SIGSTOP)
                time.sleep(1)
                os.kill(pid, signal.SIGCONT)
            else:
                os.kill(pid, signal.SIGSTOP)   # for good: the station ends it
        except ProcessLookupError:
            pass


CHAOS_RESULTS = (13, 14, 15)   # the worker died, the handset left under it, the worker hung


def all_gone(handsets, units):
    """Whether every handset of every stream has come and gone."""
    for _, _, report in handsets:
        try:
            with open(report) as f:
                played = json.load(f).get("units", [])
        except (OSError, ValueError):
            return False
        if len(played) < units or any(u["detachedMs"] is None for u in played):
            return False
    return True


def run_until_gone(station, handsets, units, timeout):
    """Waits for the last handset to go, then stops the station as Ctrl-C does."""
    deadline = time.monotonic() + timeout
    while station.poll() is None and not all_gone(handsets, units) and time.monotonic() < deadline:
        time.sleep(0.5)
    time.sleep(2)   # the last unit's record
    station.send_signal(signal.SIGINT)


CAPTURE_BOUND = 32 << 20   # the station's default --capture-max-mib


def check_captures(db, folder, chaotic):
    """A worker killed under its unit keeps no capture (the station records the unit), or may
    have written one it could not report: with chaos those two are allowed."""
    problems = []
    named = db.execute("SELECT outcome, capture, attempt_uuid, result_code FROM units").fetchall()
    for outcome, capture, uuid, code in named:
        if chaotic and code in CHAOS_RESULTS and not capture:
            continue
        if (outcome != "completed") != bool(capture):
            problems.append("unit %s (%s) names capture %r" % (uuid, outcome, capture))
        elif capture and capture != "captures/%s.pcapng" % uuid:
            problems.append("unit %s names capture %r, not its own" % (uuid, capture))
    kept = set(os.listdir(os.path.join(folder, "captures"))) if os.path.isdir(os.path.join(folder, "captures")) else set()
    wanted = {os.path.basename(c) for _, c, _, _ in named if c}
    if kept != wanted and not (chaotic and kept >= wanted):
        problems.append("captures/ holds %d files, the record names %d" % (len(kept), len(wanted)))
    for name in kept & wanted:
        if os.path.getsize(os.path.join(folder, "captures", name)) > CAPTURE_BOUND:
            problems.append("capture %s is beyond the bound" % name)
    return problems


def chaos_matches(got, flashed):
    """Whether the recorded units are the handsets' downloads in order, each as prescribed or
    ended by the chaos, give or take attempts judged silent (14) that no download reached: a
    handset starved of the processor past the silence limit is taken for gone, and the same
    handset, answering again, is the next unit."""
    if not flashed:
        return all(g[1] == 14 for g in got)
    if not got:
        return False
    head, rest = got[0], got[1:]
    if (head == flashed[0] or head[1] in CHAOS_RESULTS) and chaos_matches(rest, flashed[1:]):
        return True
    return head[1] == 14 and chaos_matches(rest, flashed)


def check(record, handsets, expected, image, chaotic=False):
    problems = []
    db = sqlite3.connect(record)
    if db.execute("PRAGMA integrity_check").fetchone()[0] != "ok":
        problems.append("integrity_check failed")
    rows = db.execute("SELECT sequence, port_selector, outcome, result_code FROM units ORDER BY sequence").fetchall()
    problems += check_captures(db, os.path.dirname(record), chaotic)
    db.close()
    total = sum(len(e) for e in expected) if not chaotic else len(rows)
    if sorted(r[0] for r in rows) != list(range(1, total + 1)):
        problems.append("recorded sequences are not 1..%d once each: %d rows" % (total, len(rows)))
    for (link, _, report), outcomes in zip(handsets, expected):
        got = [(r[2], r[3]) for r in rows if r[1] == link]
        with open(report) as f:
            units = json.load(f)["units"]
        if chaotic:
            # Each handset a download reached is recorded once, in order; a unit whose worker
            # was killed under it ends as such, every other as prescribed.
            flashed = [outcomes[u["unit"] - 1] for u in units if u["downloadsStarted"] > 0]
            if not chaos_matches(got, flashed):
                problems.append("%s: recorded %s, prescribed %s" % (link, got, flashed))
        elif got != outcomes:
            problems.append("%s: recorded %s, prescribed %s" % (link, got, outcomes))
        for unit in units:
            if unit["flashedTwice"]:
                problems.append("%s unit %d flashed twice" % (link, unit["unit"]))
            if unit["result"] == "completed":
                with open(unit["flashOut"], "rb") as f:
                    if f.read()[:len(image)] != image:
                        problems.append("%s unit %d: flash differs from the image" % (link, unit["unit"]))
    return problems, len(rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--ports", type=int, default=4)
    parser.add_argument("--units-per-port", type=int, default=6)
    parser.add_argument("--fault-rate", type=float, default=0.5)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--chaos", type=float, default=0,
                        help="seconds between two random kills or stops of a worker, on average (0: none)")
    parser.add_argument("--timeout", type=float, default=3600, help="seconds the station may take")
    args = parser.parse_args()
    rng = random.Random(args.seed)
    work = tempfile.mkdtemp(prefix="tarvolo-station-soak-")
    image = bytes(rng.getrandbits(8) for _ in range(BLOCK * BLOCKS))
    release = os.path.join(work, "image.rel")
    with open(release, "wb") as f:
        f.write(b"KM52" + image)
    handsets, expected = start_handsets(work, args.ports, args.units_per_port, rng, args.fault_rate,
                                        ["--unit-max-ms", "20000"] if args.chaos else [])
    total = args.ports * args.units_per_port
    record = os.path.join(work, "record.db")
    started = time.monotonic()
    command = [os.path.join(BIN, "tarvolo"), "station", "--ports", ",".join(h[0] for h in handsets),
               "--units", str(total), "--rearm-silence", "1", "--log", record, "--json", release]
    if args.chaos:
        command[2:2] = ["--worker-silence-ms", "3000", "--handset-silence-ms", "3000"]
        command.remove("--units")
        command.remove(str(total))
    events = open(os.path.join(work, "station.jsonl"), "w")   # kept with the work folder
    station = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=events,
                               stderr=subprocess.PIPE, text=True, cwd=work)
    done, actions = threading.Event(), []
    if args.chaos:
        threading.Thread(target=chaos, args=(station, random.Random(args.seed), args.chaos, done, actions),
                         daemon=True).start()
        threading.Thread(target=run_until_gone, args=(station, handsets, args.units_per_port, args.timeout),
                         daemon=True).start()
    try:
        _, err = station.communicate(timeout=args.timeout)
    except subprocess.TimeoutExpired:
        station.kill()
        _, err = station.communicate()
        err = "did not finish within %d s\n%s" % (args.timeout, err)
    finally:
        done.set()
        events.close()
    station.stderr_text = err
    seconds = time.monotonic() - started
    for _, proc, _ in handsets:
        proc.terminate()
        proc.wait(30)
    problems, recorded = check(record, handsets, expected, image, chaotic=bool(args.chaos))
    failing = sum(1 for e in expected for o in e if o[0] != "completed")
    if station.returncode != (130 if args.chaos else 20 if failing else 0):
        problems.append("station exit %d: %s" % (station.returncode, station.stderr_text[-2000:]))
    captures = os.path.join(work, "captures")
    kept = len(os.listdir(captures)) if os.path.isdir(captures) else 0
    print("%d units over %d ports in %.0f s (%d prescribed to fail, %d workers killed or stopped): "
          "%d recorded, %d captures kept, %s" % (total, args.ports, seconds, failing, len(actions), recorded, kept,
                               "all checks hold" if not problems else "PROBLEMS"))
    for p in problems:
        print("  " + p)
    if not problems:
        subprocess.run(["rm", "-rf", work])
    else:
        print("  work folder kept: " + work)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
