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
With --stations N, the factory's figures instead:
  - N simulated stations (bench/central_stations.cpp: each the station's own central link over
    a record of its own, with its connection, ledger and heartbeat; no ports) shipping through
    a pgbouncer in transaction pooling, each given a unit every --unit-every seconds for
    --seconds: every unit centrally exactly once, and unit to row p50 and p99;
  - --factory-units units (10,000,000) generated in SQL over --span-days (365: a year of a
    site that makes ten million handsets a year), the dashboard's first load for 8 h, 24 h and
    7 days over them, and `log --central --summary` over them all.
It measures, it does not test. Run it on a release build, beside its own server:
    scripts/build.sh release tarvolo tarvolo-handset central_stations
    scripts/with-postgres.sh python3 bench/central_bench.py
    scripts/with-postgres.sh python3 bench/central_bench.py --stations 200
"""
import argparse
import http.client
import os
import sqlite3
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
os.environ.setdefault("TARVOLO_BIN", os.path.join(TOP, "build", "release", "bin"))
sys.path.insert(0, os.path.join(TOP, "tests", "central"))
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))

from central_case import Pooler, connection, free_port, psql  # noqa: E402
from harness import Handset, make_empty_record, make_release  # noqa: E402
from test_central import backlog_run, backlog_unit, insert_units, make_backlog  # noqa: E402

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
    port = free_port()
    proc = subprocess.Popen([os.path.join(BIN, "tarvolo"), "dashboard", "--central", connection(), "--http",
                             str(port)], stderr=subprocess.DEVNULL)
    try:
        wait_page(port)
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


def utc_now():
    t = time.time()
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(t)) + ".%03dZ" % (int(t * 1000) % 1000)


def station_record(work, name):
    """A station's record with one run, written as its writer does (WAL); (connection, run_id)."""
    path = os.path.join(work, name + ".db")
    make_empty_record(path)
    db = sqlite3.connect(path, timeout=30)
    db.execute("PRAGMA journal_mode = WAL")
    db.execute("PRAGMA synchronous = NORMAL")
    run_id = backlog_run(db, name)
    db.commit()
    return path, db, run_id


def pooled_stations(work, count, seconds, every):
    """Simulated stations shipping through pgbouncer: exactly once, and unit to row."""
    reset()
    pooler = Pooler(pool_size=20, max_clients=count + 50)
    pooler.start()
    try:
        stations = [station_record(work, "ST%03d" % i) for i in range(count)]
        links = subprocess.Popen([os.path.join(BIN, "central_stations"), connection(pooler.port)] +
                                 [path for path, _, _ in stations], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 text=True)
        # Round the stations in turn: a unit every `every` seconds each, spread evenly.
        gap = every / count
        started = time.monotonic()
        made, late = 0, 0
        while time.monotonic() - started < seconds:
            path, db, run_id = stations[made % count]
            due = started + made * gap
            pause = due - time.monotonic()
            if pause > 0:
                time.sleep(pause)
            elif pause < -1:
                late += 1
            insert_units(db, [backlog_unit(run_id, made // count, os.path.basename(path)[:-3], lot="L%d" % (made % 40),
                                           ended=utc_now())])
            db.commit()
            made += 1
        out, _ = links.communicate(timeout=600)
    finally:
        pooler.remove()
    local = set()
    for path, db, _ in stations:
        local.update(r[0] for r in db.execute("SELECT attempt_uuid FROM units"))
        db.close()
    central = psql("SELECT attempt_uuid FROM units")[1].split()
    once = len(central) == len(set(central)) and set(central) == local
    _, out2, _ = psql("SELECT count(*), percentile_disc(0.5) WITHIN GROUP (ORDER BY ms), "
                      "percentile_disc(0.99) WITHIN GROUP (ORDER BY ms), max(ms) FROM (SELECT 1000 * "
                      "extract(epoch FROM received - ended_utc::timestamptz) AS ms FROM units) l")
    n, p50, p99, worst = out2.split()
    print("%d stations through pgbouncer (transaction pooling, 20 server connections), %d units in %.0f s "
          "(%.1f units/s; %d written over a second late): exactly once %s; unit to row p50 %.0f ms, p99 %.0f ms, "
          "max %.0f ms" % (count, made, seconds, made / seconds, late, "yes" if once and links.returncode == 0 else
                           "NO (%s)" % out.strip(), float(p50), float(p99), float(worst)))
    if not once or links.returncode != 0:
        sys.exit("central_bench: units lost or doubled through the pooler")


def long_sql(sql):
    """psql without the tests' minute: filling and vacuuming ten million rows takes longer."""
    from central_case import PSQL
    p = subprocess.run([PSQL, "-h", "127.0.0.1", "-p", os.environ["TARVOLO_PG_PORT"], "-U", "postgres", "-XAtq",
                        "-v", "ON_ERROR_STOP=1", "-c", sql, "tarvolo"], capture_output=True, text=True)
    if p.returncode:
        sys.exit(p.stderr)


def generate_units(total, span_days):
    """`total` units over the last `span_days` days, in SQL: each a copy of a shipped unit with its
    own attempt (a UUIDv7 of its time, so that it lands in its month), time (the server's
    receive time 2 s after it: the stations' clocks are right), station (of 200), lot (40 a
    week, each a stretch of time) and label. The
    secondary indexes are dropped first and made again by `central init`, then VACUUM ANALYZE
    (an index-only scan needs the visibility map that autovacuum would keep)."""
    started = time.monotonic()
    _, names, _ = psql("SELECT indexname FROM pg_indexes WHERE tablename = 'units' AND indexname <> 'units_pkey'")
    for name in names.split():
        psql("DROP INDEX %s" % name)
    columns = [c for c in psql("SELECT string_agg(column_name, ',') FROM information_schema.columns WHERE "
                               "table_name = 'units' AND column_name NOT IN ('received', 'attempt_uuid', "
                               "'station_id', 'started_utc', 'lot', 'label', 'outcome', 'result_code')"
                               )[1].strip().split(",")]
    lots = max(1, int(span_days * 40 / 7))
    # The past months' partitions, as a server running for that long has them (init makes the
    # current month and those ahead; a unit of an older month would wait in the default one).
    long_sql("SELECT tarvolo_units_month(m::date) FROM generate_series(date_trunc('month', now() - interval '1 day' * "
             "%d), date_trunc('month', now()), interval '1 month') m" % span_days)
    long_sql(
        "INSERT INTO units (attempt_uuid, received, station_id, started_utc, lot, label, outcome, result_code, %s) "
        "SELECT substr(h, 1, 8) || '-' || substr(h, 9, 4) || '-7' || substr(r, 1, 3) || '-8' || substr(r, 4, 3) || "
        "'-' || substr(r, 7, 12), t + interval '2 s', 'S' || (g %% 200), to_char(t AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), "
        "'L' || (g::bigint * %d / %d), 'LBL' || g, CASE WHEN g %% 14 = 0 THEN 'failed' WHEN g %% 97 = 0 THEN "
        "'interrupted' ELSE 'completed' END, CASE WHEN g %% 14 = 0 THEN 6 ELSE 0 END, %s "
        "FROM (SELECT g, now() - interval '1 millisecond' * ((%d - g) * %f) AS t, md5(g::text) AS r "
        "FROM generate_series(1, %d) g) s, "
        "LATERAL (SELECT lpad(to_hex((extract(epoch FROM t) * 1000)::bigint), 12, '0') AS h) x, "
        "(SELECT * FROM units LIMIT 1) b"
        % (", ".join(columns), lots, total, ", ".join("b." + c for c in columns), total,
           span_days * 86400000.0 / total, total))
    tarvolo("central", "init", "--central", connection())
    long_sql("VACUUM ANALYZE units")
    _, size, _ = psql("SELECT (SELECT pg_size_pretty(sum(pg_total_relation_size(relid))) FROM "
                      "pg_partition_tree('units')), count(*) FROM units")
    print("generated %d units over %d days in %.0f s (table and indexes, count: %s)" %
          (total, span_days, time.monotonic() - started, size.strip().replace("\t", ", ")))


def factory_dashboard(total, span_days, listing):
    generate_units(total, span_days)
    port = free_port()
    proc = subprocess.Popen([os.path.join(BIN, "tarvolo"), "dashboard", "--central", connection(), "--http",
                             str(port)], stderr=subprocess.DEVNULL)
    try:
        wait_page(port)
        files = ["/", "/page.css", "/chart.js", "/page.js", "/dashboard.js"]
        for period in ("8h", "24h", "7d"):
            cold, best = timed(port, files + ["/api/line?period=" + period, "/api/units?offset=0"])
            print("  first load, period %s (files, figures, first search page): %.3f s cold, %.3f s best of 3" %
                  (period, cold, best))
    finally:
        proc.terminate()
        proc.wait()
    started = time.monotonic()
    p = subprocess.run([os.path.join(BIN, "tarvolo"), "log", "--central", connection(), "--summary"],
                       capture_output=True, text=True)
    print("  log --central --summary over all: %.1f s, exit %d %s" %
          (time.monotonic() - started, p.returncode, p.stderr.strip()[:200]))
    # The listing streams a page at a time: its memory is a page's, however many it lists.
    for count in (1000, listing):
        started = time.monotonic()
        with open(os.devnull, "w") as null:
            proc = subprocess.Popen([os.path.join(BIN, "tarvolo"), "log", "--central", connection(), "--limit",
                                     str(count), "--csv"], stdout=null, stderr=subprocess.DEVNULL)
            _, status, usage = os.wait4(proc.pid, 0)
        print("  log --central --limit %d --csv: %.1f s, exit %d, peak memory %.0f MB" %
              (count, time.monotonic() - started, os.waitstatus_to_exitcode(status), usage.ru_maxrss / 1024))


def wait_page(port):
    for _ in range(100):
        try:
            get(port, "/page.css")
            return
        except OSError:
            time.sleep(0.1)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--ports", type=int, default=16)
    parser.add_argument("--units-per-port", type=int, default=4)
    parser.add_argument("--backlog", type=int, default=100000)
    parser.add_argument("--summary-units", type=int, default=1000000)
    parser.add_argument("--only-million", action="store_true",
                        help="skip the latency and drain runs; fill from a 2,000-unit backlog")
    parser.add_argument("--stations", type=int, default=0,
                        help="the factory's figures: this many simulated stations through pgbouncer, then the "
                             "dashboard over --factory-units")
    parser.add_argument("--seconds", type=float, default=60, help="with --stations: how long they ship")
    parser.add_argument("--unit-every", type=float, default=2, help="with --stations: seconds between a station's units")
    parser.add_argument("--factory-units", type=int, default=10000000)
    parser.add_argument("--span-days", type=int, default=365)
    parser.add_argument("--brief", action="store_true",
                        help="small counts of both kinds: the test command's run, which proves the benchmark still "
                             "works")
    a = parser.parse_args()
    if a.brief:
        a.ports, a.units_per_port, a.backlog, a.summary_units = 2, 1, 200, 2000
    if not os.environ.get("TARVOLO_PG_PORT"):
        sys.exit("run it through scripts/with-postgres.sh")
    with tempfile.TemporaryDirectory() as work:
        if a.stations or a.brief:
            pooled_stations(work, 4 if a.brief else a.stations, 4 if a.brief else a.seconds,
                            1 if a.brief else a.unit_every)
            factory_dashboard(20000 if a.brief else a.factory_units, a.span_days,
                              3000 if a.brief else min(a.factory_units, 1000000))
            if not a.brief:
                return
        if not a.only_million:
            commit_to_visible(work, a.ports, a.units_per_port)
        drain(work, 2000 if a.only_million else a.backlog)
        summary(a.summary_units)
        dashboard(work)


if __name__ == "__main__":
    main()
