#!/usr/bin/env python3
"""The central database's figures, against a throwaway PostgreSQL 15:
  - commit to visible: a station with 16 ports of virtual handsets ships every unit; for each,
    the time from its local end (ended_utc, just before the local commit) to its row's arrival
    on the server (the central column `received`, the server's clock_timestamp()); p50 and p99;
  - backlog drain: a record holding 100,000 units not shipped, sent by `tarvolo ship`: units per
    second;
  - `tarvolo log --central --summary` over 1,000,000 central units: seconds;
  - `tarvolo dashboard` over the same units, spread over the last 7 days: the page's first load
    (its files, the line's figures and the first search page) and searches, each over HTTP.
It measures, it does not test. Run it on a release build, beside its own server:
    scripts/build.sh release tarvolo tarvolo-handset
    scripts/with-postgres.sh python3 bench/central_bench.py
"""
import argparse
import http.client
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
os.environ.setdefault("TARVOLO_BIN", os.path.join(TOP, "build", "release", "bin"))
sys.path.insert(0, os.path.join(TOP, "tests", "central"))
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))

from central_case import connection, psql  # noqa: E402
from harness import Handset, make_empty_record, make_release  # noqa: E402
from test_central import make_backlog  # noqa: E402

BIN = os.environ["TARVOLO_BIN"]


def tarvolo(*args, cwd=None):
    started = time.monotonic()
    p = subprocess.run([os.path.join(BIN, "tarvolo")] + [str(a) for a in args], capture_output=True, text=True,
                       cwd=cwd)
    if p.returncode not in (0, 20):
        sys.exit("tarvolo %s: exit %d: %s" % (args[0], p.returncode, p.stderr))
    return time.monotonic() - started, p.stdout


def reset():
    psql("DROP TABLE IF EXISTS stations, runs, run_ends, units, releases")
    tarvolo("central", "init", "--central", connection())


def commit_to_visible(work, ports, units):
    reset()
    release = os.path.join(work, "image.rel")
    make_release(release, [bytes([n]) * 256 for n in range(4)])
    handsets = []
    for i in range(ports):
        folder = os.path.join(work, "port%d" % i)
        os.makedirs(folder)
        handsets.append(Handset(folder, "--block-size", 256, "--erase-ms", 50, "--units", units,
                                "--unit-stay-ms", 1200, "--unit-gap-ms", 1500))
    tarvolo("station", "--ports", ",".join(h.link for h in handsets), "--units", ports * units, "--log",
            os.path.join(work, "latency.db"), "--rearm-silence", 1, "--central", connection(), release, cwd=work)
    for h in handsets:
        h.stop()
    _, out, _ = psql("SELECT count(*), percentile_disc(0.5) WITHIN GROUP (ORDER BY ms), "
                     "percentile_disc(0.99) WITHIN GROUP (ORDER BY ms), max(ms) FROM (SELECT 1000 * "
                     "extract(epoch FROM received - ended_utc::timestamptz) AS ms FROM units) l")
    count, p50, p99, worst = out.split()
    print("commit to visible, %d ports, %s units: p50 %.0f ms, p99 %.0f ms, max %.0f ms" %
          (ports, count, float(p50), float(p99), float(worst)))


def drain(work, count):
    reset()
    record = os.path.join(work, "backlog.db")
    make_empty_record(record)  # shipping never makes a record
    make_backlog(record, count)
    psql("ALTER TABLE units ADD CONSTRAINT lot_allowed CHECK (lot <> 'REFUSE-ME')")
    seconds, out = tarvolo("ship", "--db", record, "--central", connection())
    print("backlog drain: %s in %.1f s: %.0f units/s" % (out.strip(), seconds, count / seconds))


def summary(total):
    _, out, _ = psql("SELECT count(*) FROM units")
    have = int(out)
    rounds = max(0, (total - have + have - 1) // have)
    names = [c for c in psql("SELECT string_agg(column_name, ',') FROM information_schema.columns WHERE "
                             "table_name = 'units' AND column_name NOT IN ('attempt_uuid', 'received', "
                             "'station_id')")[1].strip().split(",")]
    psql("INSERT INTO units (attempt_uuid, station_id, %s) SELECT gen_random_uuid()::text, 'S' || (g %% 8), %s "
         "FROM units, generate_series(1, %d) g" % (",".join(names), ",".join(names), rounds))
    psql("DELETE FROM units WHERE attempt_uuid IN (SELECT attempt_uuid FROM units OFFSET %d)" % total)
    psql("VACUUM ANALYZE units")
    _, out, _ = psql("SELECT count(*) FROM units")
    best = min(tarvolo("log", "--central", connection(), "--summary")[0] for _ in range(3))
    print("log --central --summary over %s units: %.2f s (best of 3, the whole command)" % (out.strip(), best))


def get(port, path):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    c.request("GET", path)
    r = c.getresponse()
    body = r.read()
    c.close()
    if r.status != 200:
        sys.exit("GET %s: %d %s" % (path, r.status, body[:200]))
    return body


def timed(port, paths, rounds=3):
    """Seconds for the paths fetched one after another: the first round (cold) and the best."""
    times = []
    for _ in range(rounds):
        started = time.monotonic()
        for p in paths:
            get(port, p)
        times.append(time.monotonic() - started)
    return times[0], min(times)


def dashboard(work):
    # Spread over the last 7 days, 40 lots and a label each, as a week of a line: the table made
    # again (an UPDATE of every row through a dozen indexes takes minutes), the indexes by init.
    _, out, _ = psql("SELECT string_agg(column_name, ',' ORDER BY ordinal_position) FROM information_schema.columns "
                     "WHERE table_name = 'units'")
    spread = {"started_utc": "to_char((now() - random() * interval '7 days') AT TIME ZONE 'UTC', "
                             "'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"') AS started_utc",
              "lot": "'L' || (abs(hashtext(attempt_uuid)) % 40) AS lot",
              "label": "'LBL' || abs(hashtext(attempt_uuid)) AS label"}
    columns = [spread.get(c, c) for c in out.strip().split(",")]
    for sql in ("CREATE TABLE week AS SELECT %s FROM units" % ", ".join(columns), "DROP TABLE units",
                "ALTER TABLE week RENAME TO units", "ALTER TABLE units ADD PRIMARY KEY (attempt_uuid)"):
        code, _, err = psql(sql)
        if code:
            sys.exit(err)
    tarvolo("central", "init", "--central", connection())
    psql("VACUUM ANALYZE units")
    _, out, _ = psql("SELECT count(*), min(label), min(attempt_uuid) FROM units WHERE outcome = 'failed'")
    count, label, attempt = out.split()
    import socket
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    proc = subprocess.Popen([os.path.join(BIN, "tarvolo"), "dashboard", "--central", connection(), "--http",
                             str(port)], stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            try:
                get(port, "/page.css")
                break
            except OSError:
                time.sleep(0.1)
        files = ["/", "/page.css", "/chart.js", "/page.js", "/dashboard.js"]
        _, total, _ = psql("SELECT count(*) FROM units")
        print("dashboard over %s units:" % total.strip())
        for period in ("8h", "24h", "7d"):
            cold, best = timed(port, files + ["/api/line?period=" + period, "/api/units?offset=0"])
            print("  first load, period %s (files, figures, first search page): %.3f s cold, %.3f s best of 3" %
                  (period, cold, best))
        week = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() - 3 * 86400))
        for what, query in (("failed units", "result=failed"), ("a lot", "lot=L7"), ("a label", "label=" + label),
                            ("an attempt id", "attempt=" + attempt),
                            ("a station's failures since 3 days", "station=S3&result=failed&from=" + week),
                            ("a result code on a port", "result=6&port=p2"), ("no match", "lot=none"),
                            ("page 50 of all", "offset=9800")):
            cold, best = timed(port, ["/api/units?" + query])
            print("  search, %s: %.3f s cold, %.3f s best of 3" % (what, cold, best))
        cold, best = timed(port, ["/units.csv?lot=L7&result=failed"], rounds=2)
        print("  CSV export, a lot's failures (%d bytes): %.3f s" % (len(get(port, "/units.csv?lot=L7&result=failed")), best))
    finally:
        proc.terminate()
        proc.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--ports", type=int, default=16)
    parser.add_argument("--units-per-port", type=int, default=4)
    parser.add_argument("--backlog", type=int, default=100000)
    parser.add_argument("--summary-units", type=int, default=1000000)
    parser.add_argument("--only-million", action="store_true",
                        help="skip the latency and drain runs; fill from a 2,000-unit backlog")
    parser.add_argument("--brief", action="store_true",
                        help="small counts: the test command's run, which proves the benchmark still works")
    a = parser.parse_args()
    if a.brief:
        a.ports, a.units_per_port, a.backlog, a.summary_units = 2, 1, 200, 2000
    if not os.environ.get("TARVOLO_PG_PORT"):
        sys.exit("run it through scripts/with-postgres.sh")
    with tempfile.TemporaryDirectory() as work:
        if not a.only_million:
            commit_to_visible(work, a.ports, a.units_per_port)
        drain(work, 2000 if a.only_million else a.backlog)
        summary(a.summary_units)
        dashboard(work)


if __name__ == "__main__":
    main()
