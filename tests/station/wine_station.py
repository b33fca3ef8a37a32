"""The Windows build's station under Wine: two ports, COM1 and COM2, each mapped to a native
virtual handset playing a stream of units. The station writes its SQLite record
(tarvolo-production.db, the default), which the Windows `tarvolo log`, the Linux one and
Python's sqlite3 then read. The first run also serves its live page (--http), which the host's
chromium reads while the units go (tests/web/station_page_check.cjs). A second run on the same record is killed with SIGKILL in the
middle: the database must pass `PRAGMA integrity_check` and hold every unit shown as ended.

Run by scripts/wine-tests.sh, which has mapped COM1 to WORKDIR/port1/ttyHANDSET and COM2 to
WORKDIR/port2/ttyHANDSET before Wine's server started. TARVOLO_BIN names the folder of the
native tarvolo-handset and tarvolo.
    wine_station.py WORKDIR TARVOLO-CLI.EXE
Exit status 0 when all that holds.
"""
import json
import os
import queue
import re
import signal
import socket
import sqlite3
import subprocess
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from harness import Handset, bin_dir, make_release, parameter_record, record_schema_version  # noqa: E402

UNITS_PER_PORT = 2
UUID7 = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-7[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")


# Wine with the loader that suits the build under test (scripts/wine.sh, named by
# scripts/wine-tests.sh): Debian's plain `wine` needs a kernel that runs 32-bit programs.
WINE = os.environ.get("TARVOLO_WINE", "wine")


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def start_handsets(work, units):
    handsets = []
    for port in ("port1", "port2"):
        folder = os.path.join(work, port)
        os.makedirs(folder, exist_ok=True)
        # Under Wine an answer sent at once can be reported before its frame: answer as a
        # real handset would, after a few milliseconds.
        handsets.append(Handset(folder, "--units", units, "--unit-stay-ms", 1000,
                                "--unit-gap-ms", 2500, "--erase-ms", 100, "--turnaround-ms", 10))
    return handsets


def station_command(exe, release, units, *extra):
    return [WINE, exe, "station", "--ports", "COM1,COM2", "--units", str(units),
            "--rearm-silence", "1.5", "--json", *extra, windows_path(release)]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def read_page(port, seen):
    """The host's chromium on the Windows station's page: two tiles, and a unit completed."""
    checker = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web", "station_page_check.cjs")
    # Chromium starts while Wine starts the station (a few seconds) and tries the page until it
    # answers: started after it, on a loaded machine, it could find the short run over.
    args = {"url": "http://127.0.0.1:%d/" % port, "glance": True, "serverWait": 60}
    check = subprocess.run(["node", checker, json.dumps(args)],
                           capture_output=True, text=True, timeout=150)
    lines = check.stdout.strip().splitlines()
    seen.update(json.loads(lines[-1]) if lines else
                {"error": "node exit %d: %s" % (check.returncode, check.stderr[-2000:])})


def read_db(record, sql):
    db = sqlite3.connect(record)
    db.row_factory = sqlite3.Row
    try:
        return [dict(r) for r in db.execute(sql)]
    finally:
        db.close()


def check_first_run(work, exe, record, station, handsets, image):
    """The two-port run: shown, recorded, read by both tools and by Python, nothing flashed twice."""
    problems = []
    events = [json.loads(l) for l in station.stdout.splitlines() if l.startswith("{")]
    ends = [e for e in events if e.get("event") == "unit_end"]
    if station.returncode != 0:
        problems.append("station exit %d: %s" % (station.returncode, station.stderr[-2000:]))
    if sorted(e["port"] for e in ends) != ["COM1", "COM1", "COM2", "COM2"]:
        problems.append("units shown: %s" % ends)
    if not os.path.exists(record):
        return problems + ["no %s in %s: %s" % (os.path.basename(record), work, os.listdir(work))]
    for who, cmd in (("Windows", [WINE, exe, "log", "--db", windows_path(record), "--json"]),
                     ("Linux", [os.path.join(bin_dir(), "tarvolo"), "log", "--db", record, "--json"])):
        log = subprocess.run(cmd, capture_output=True, text=True, timeout=60, cwd=work)
        units = json.loads(log.stdout)["units"] if log.returncode == 0 else []
        if sorted(u["sequence"] for u in units) != [1, 2, 3, 4] or \
                any(u["outcome"] != "completed" for u in units):
            problems.append("units the %s tarvolo log read: %s %s" % (who, units, log.stderr))
    rows = read_db(record, "SELECT attempt_uuid, parameter_record FROM units")
    ids = [r["attempt_uuid"] for r in rows]
    if len(set(ids)) != 4 or not all(UUID7.match(i or "") for i in ids):
        problems.append("attempt ids: %s" % ids)
    if any(r["parameter_record"] != parameter_record() for r in rows):
        problems.append("parameter records: %s" % [r["parameter_record"] for r in rows])
    facts = read_db(record, "SELECT (SELECT user_version FROM pragma_user_version) AS version, "
                            "(SELECT journal_mode FROM pragma_journal_mode) AS journal")
    if facts != [{"version": record_schema_version(), "journal": "wal"}]:
        problems.append("record's schema and journal: %s" % facts)
    for h in handsets:
        for unit in h.report()["units"]:
            with open(unit["flashOut"], "rb") as f:
                if unit["flashedTwice"] or f.read()[:len(image)] != image:
                    problems.append("handset unit %s: %s" % (unit["unit"], unit))
    return problems


def killed_run(work, exe, record, release):
    """A second run on the same record, killed (SIGKILL) once a unit has ended while the other
    port's unit is still going."""
    handsets = start_handsets(work, 3)
    shown = queue.Queue()
    station = subprocess.Popen(station_command(exe, release, 6), stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                               cwd=work)

    def read():
        for line in station.stdout:
            if line.startswith("{"):
                shown.put(json.loads(line))

    threading.Thread(target=read, daemon=True).start()
    ended = []
    try:
        while not ended:
            event = shown.get(timeout=120)
            if event.get("event") == "unit_end":
                ended.append(event)
        os.kill(station.pid, signal.SIGKILL)
        station.wait(30)
    except queue.Empty:
        station.kill()
        station.wait(30)
        return ["no unit ended within 120 s of the second run"]
    finally:
        # The station's workers are Wine processes of their own: end them with the server.
        subprocess.run(["wineserver", "-k"], capture_output=True)
        for h in handsets:
            h.stop()
    problems = []
    check = read_db(record, "PRAGMA integrity_check")
    if check != [{"integrity_check": "ok"}]:
        problems.append("integrity_check after SIGKILL: %s" % check)
    runs = read_db(record, "SELECT run_id, ended_utc FROM runs ORDER BY run_id")
    if [(r["run_id"], r["ended_utc"] is None) for r in runs] != [(1, False), (2, True)]:
        problems.append("runs after SIGKILL: %s" % runs)
    recorded = {r["sequence"] for r in read_db(record, "SELECT sequence FROM units WHERE run_id = 2")}
    if not {e["sequence"] for e in ended} <= recorded:
        problems.append("units shown ended %s, recorded %s" % (ended, sorted(recorded)))
    return problems


def main(work, exe):
    release = os.path.join(work, "image.rel")
    image = make_release(release, [bytes((n * 31 + i) % 251 for i in range(1024)) for n in range(4)])
    record = os.path.join(work, "tarvolo-production.db")
    handsets = start_handsets(work, UNITS_PER_PORT)
    port, page = free_port(), {}
    try:
        station = subprocess.Popen(station_command(exe, release, 2 * UNITS_PER_PORT, "--http", "127.0.0.1:%d" % port),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   text=True, cwd=work)
        reader = threading.Thread(target=read_page, args=(port, page))
        reader.start()
        station.stdout, station.stderr = station.communicate(timeout=180)
        reader.join()
    finally:
        for h in handsets:
            h.stop()
    problems = check_first_run(work, exe, record, station, handsets, image)
    if page.get("error") or page.get("tiles") != 2 or not page.get("completed"):
        problems.append("the page the host's chromium read: %s" % page)
    if not problems:
        problems = killed_run(work, exe, record, release)
    for p in problems:
        print("FAIL", p)
    if not problems:
        print("two-port station under Wine: its page read by chromium; 4 units completed and recorded in SQLite, read by "
              "both tools and Python, none flashed twice; killed mid-run, the record is sound")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])))
