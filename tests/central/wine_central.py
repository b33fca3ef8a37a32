"""The Windows build's station under Wine ships to the central database as its own login (the
row rules of `central init --station`): Wine's odbc32.dll hands every ODBC call, with the
keepalives the connection string asks for, to the host's unixODBC and its PostgreSQL driver. Two ports, COM1 and COM2, each
a native virtual handset (mapped by scripts/wine-tests.sh as for wine_station.py); every unit of
the record must be on the server once, equal field by field. Then the Windows build's line page
(`dashboard`) serves those units from the server.

Run by scripts/wine-tests.sh inside scripts/with-postgres.sh (TARVOLO_PG_PORT names the server):
    wine_central.py WORKDIR TARVOLO-CLI.EXE
Exit status 0 when all that holds."""
import json
import os
import sqlite3
import subprocess
import sys
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "station"))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

from central_case import connection, free_port, psql, shipped_columns  # noqa: E402
from harness import bin_dir, make_release  # noqa: E402
from wine_station import WINE, start_handsets, windows_path  # noqa: E402


def main():
    work, exe = sys.argv[1], sys.argv[2]
    psql("DROP TABLE IF EXISTS stations, runs, run_ends, units, releases")
    init = subprocess.run([os.path.join(bin_dir(), "tarvolo"), "central", "init", "--station", "W1", "--central",
                           connection()], capture_output=True, text=True)
    if init.returncode != 0:
        return "central init: " + init.stderr
    release = os.path.join(work, "central.rel")
    make_release(release, [bytes([n]) * 1024 for n in range(3)])
    record = os.path.join(work, "central.db")
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(record + suffix):
            os.remove(record + suffix)  # a record of an earlier run here (the 64- then the 32-bit build)
    handsets = start_handsets(work, 1)
    try:
        run = subprocess.run([WINE, exe, "station", "--ports", "COM1,COM2", "--units", "2", "--rearm-silence", "1.5",
                              "--json", "--log", windows_path(record), "--station-id", "W1",
                              "--central", connection(user="tarvolo_station_w1"),
                              windows_path(release)], capture_output=True, text=True, timeout=180)
    finally:
        for h in handsets:
            h.stop()
    if run.returncode not in (0, 20):
        return "station exit %d: %s" % (run.returncode, run.stderr[-2000:])
    db = sqlite3.connect(record)
    db.row_factory = sqlite3.Row
    shipped = shipped_columns()
    local = {r["attempt_uuid"]: {k: r[k] for k in shipped} for r in db.execute("SELECT * FROM units")}
    db.close()
    _, out, err = psql("SELECT row_to_json(u) FROM (SELECT %s FROM units) u" % ", ".join(shipped))
    central = [json.loads(line) for line in out.splitlines()]
    if len(local) != 2 or len(central) != 2 or any(local.get(u["attempt_uuid"]) != u for u in central):
        return "central %s differs from the record %s %s" % (central, list(local.values()), err)
    return dashboard_problem(exe, sorted(local))


def dashboard_problem(exe, attempts):
    """The Windows dashboard's unit search lists the shipped units; None when it does."""
    port = free_port()
    proc = subprocess.Popen([WINE, exe, "dashboard", "--central", connection(), "--http", "127.0.0.1:%d" % port],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and proc.poll() is None:
            try:
                with urllib.request.urlopen("http://127.0.0.1:%d/api/units" % port, timeout=10) as r:
                    found = sorted(u["attempt_uuid"] for u in json.load(r)["units"])
                return None if found == attempts else "the dashboard lists %s, not %s" % (found, attempts)
            except OSError:
                time.sleep(0.5)
        return "the dashboard never answered: " + (proc.stderr.read() if proc.poll() is not None else "")
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait()


if __name__ == "__main__":
    problem = main()
    print("wine central: " + (problem or "2 units shipped from the Windows station, equal to its record, "
                                          "and listed by the Windows dashboard"))
    sys.exit(1 if problem else 0)
