"""The Windows build's station under Wine: two ports, COM1 and COM2, each mapped to a native
virtual handset playing a stream of units; then `tarvolo log` on the JSON Lines record.

Run by scripts/wine-tests.sh, which has mapped COM1 to WORKDIR/port1/ttyHANDSET and COM2 to
WORKDIR/port2/ttyHANDSET before Wine's server started. TARVOLO_BIN names the folder of the
native tarvolo-handset.
    wine_station.py WORKDIR TARVOLO-CLI.EXE
Exit status 0 when every unit completed, was recorded once, and no handset was flashed twice.
"""
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from harness import Handset, make_release  # noqa: E402

UNITS_PER_PORT = 2


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def main(work, exe):
    release = os.path.join(work, "image.rel")
    image = make_release(release, [bytes((n * 31 + i) % 251 for i in range(1024)) for n in range(4)])
    handsets = []
    for port in ("port1", "port2"):
        folder = os.path.join(work, port)
        os.makedirs(folder, exist_ok=True)
        # Under Wine an answer sent at once can be reported before its frame: answer as a
        # real handset would, after a few milliseconds.
        handsets.append(Handset(folder, "--units", UNITS_PER_PORT, "--unit-stay-ms", 1000,
                                "--unit-gap-ms", 2500, "--erase-ms", 100, "--turnaround-ms", 10))
    record = os.path.join(work, "record.jsonl")
    try:
        station = subprocess.run(
            ["wine", exe, "station", "--ports", "COM1,COM2", "--units", str(2 * UNITS_PER_PORT),
             "--rearm-silence", "1.5", "--json", "--log", windows_path(record), windows_path(release)],
            capture_output=True, text=True, timeout=180, cwd=work)
        events = [json.loads(l) for l in station.stdout.splitlines() if l.startswith("{")]
        ends = [e for e in events if e.get("event") == "unit_end"]
        log = subprocess.run(["wine", exe, "log", "--db", windows_path(record), "--json"],
                             capture_output=True, text=True, timeout=60, cwd=work)
        units = json.loads(log.stdout)["units"] if log.returncode == 0 else []
    finally:
        for h in handsets:
            h.stop()
    problems = []
    if station.returncode != 0:
        problems.append("station exit %d: %s" % (station.returncode, station.stderr[-2000:]))
    if sorted(e["port"] for e in ends) != ["COM1", "COM1", "COM2", "COM2"]:
        problems.append("units shown: %s" % ends)
    if sorted(u["sequence"] for u in units) != [1, 2, 3, 4] or any(u["outcome"] != "completed" for u in units):
        problems.append("units recorded: %s" % units)
    for h in handsets:
        for unit in h.report()["units"]:
            with open(unit["flashOut"], "rb") as f:
                if unit["flashedTwice"] or f.read()[:len(image)] != image:
                    problems.append("handset unit %s: %s" % (unit["unit"], unit))
    for p in problems:
        print("FAIL", p)
    if not problems:
        print("two-port station under Wine: %d units completed and recorded, none flashed twice"
              % len(units))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])))
