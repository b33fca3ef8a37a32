"""The central units table by month against a real PostgreSQL 15: a database made by the older,
unpartitioned `central init` (units_unpartitioned.sql) with 30,000 units migrates while two
stations' shippers send into it, every row there after, none lost or twice, the grants and row
rules kept; a unit of a month with no partition waits in the default one and moves into its
month when init makes it; `central retire` drops past months while a shipper sends into the
current one, which it never touches."""
import os
import sqlite3
import time
import unittest

from central_case import CentralCase, connection, psql
from harness import make_empty_record  # noqa: E402 (on the path central_case sets)
from test_central import make_backlog

HERE = os.path.dirname(os.path.abspath(__file__))
OLD_UNITS = 30000

# Units over the three months before this one and the current one, ids the UUIDv7 of their start.
GENERATE = """INSERT INTO units (attempt_uuid, station_id, operator, lot, port_selector, started_utc, duration_ms, outcome)
SELECT substr(h, 1, 8) || '-' || substr(h, 9, 4) || '-7' || substr(r, 1, 3) || '-8' || substr(r, 4, 3) || '-'
       || substr(r, 7, 12), 'OLD', 'op', 'L' || (g %% 13), 'p' || (g %% 4),
       to_char(t AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS.MS"Z"'), 1000 + g %% 700,
       CASE WHEN g %% 7 = 0 THEN 'failed' ELSE 'completed' END
FROM (SELECT g, date_trunc('month', now() - interval '3 months') + (now() - date_trunc('month', now() - interval
      '3 months')) * g / (%d + 1) AS t, md5(g::text) AS r FROM generate_series(1, %d) g) s,
     LATERAL (SELECT lpad(to_hex((extract(epoch FROM t) * 1000)::bigint), 12, '0') AS h) x"""

EVERY_ROW = "SELECT count(*), md5(string_agg(u::text, ',' ORDER BY attempt_uuid)) FROM units u WHERE station_id = 'OLD'"


def uuid7_at(ms):
    r = os.urandom(10).hex()
    h = "%012x" % ms
    return "%s-%s-7%s-%x%s-%s" % (h[:8], h[8:], r[:3], 8 + int(r[3], 16) % 4, r[4:7], r[7:19])


def backlog_of_now(path, count, station):
    """A record's backlog (test_central's) of units started in the last minutes, ids of their start."""
    make_empty_record(path)
    make_backlog(path, count, station)
    now_ms = int(time.time() * 1000)
    db = sqlite3.connect(path)
    rows = [r[0] for r in db.execute("SELECT rowid FROM units ORDER BY rowid")]
    for n, rowid in enumerate(rows):
        ms = now_ms - (len(rows) - n) * 10
        db.execute("UPDATE units SET attempt_uuid = ?, started_utc = ? WHERE rowid = ?",
                   (uuid7_at(ms), time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(ms / 1000)) + ".%03dZ" % (ms % 1000),
                    rowid))
    db.commit()
    db.close()


def months():
    """Partition names of units, oldest first."""
    return psql("SELECT c.relname FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid WHERE "
                "i.inhparent = 'units'::regclass ORDER BY 1")[1].split()


def one(sql):
    code, out, err = psql(sql)
    assert code == 0, err
    return out.strip()


class Partitions(CentralCase):
    def setUp(self):
        super().setUp()
        self.fresh_central("--roles")
        self.logins = [self.login(s) for s in ("B1", "B2")]

    def login(self, station):
        code, out, err = self.tarvolo("central", "init", "--station", station, "--central", connection())
        self.assertEqual(code, 0, err)
        return out.split("writes as the login ")[1].split()[0]

    def shippers(self, count, batch):
        """Each station's shipper on a backlog of `count` units of now, started."""
        records, procs = [], []
        for station, login in zip(("B1", "B2"), self.logins):
            record = self.path(station + ".db")
            backlog_of_now(record, count, station)
            records.append(record)
            procs.append(self.start_tarvolo("ship", "--db", record, "--central", connection(user=login),
                                            "--batch", batch))
        return records, procs

    def wait_shipped(self, procs):
        for p in procs:
            out, err = p.communicate(timeout=180)
            self.assertEqual(p.returncode, 0, err)

    def assertShipped(self, records, count):
        """The records' units are centrally, once each, equal field by field."""
        self.assertEqual(one("SELECT count(*) FROM units WHERE station_id IN ('B1', 'B2')"), str(count))
        local = {u["attempt_uuid"]: u for r in records for u in self.local_units(r)}
        for u in local.values():
            u.pop("run_uuid")
        central = {u["attempt_uuid"]: u for u in self.central_units("station_id IN ('B1', 'B2')")}
        self.assertEqual(len(local), count)
        self.assertTrue(central == local, "the central units differ from the records'")

    def until(self, sql, what, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if one(sql) == "t":
                return
            time.sleep(0.05)
        self.fail(what)

    def test_migration_while_stations_ship(self):
        with open(os.path.join(HERE, "units_unpartitioned.sql")) as f:
            self.assertEqual(psql("DROP TABLE units;\n" + f.read())[0], 0)
        self.assertEqual(one("SELECT relkind FROM pg_class WHERE relname = 'units'"), "r")
        self.assertEqual(psql(GENERATE % (OLD_UNITS, OLD_UNITS))[0], 0)
        # Ids that are no UUIDv7, and one of a month ten years ahead: kept, in the default partition.
        self.assertEqual(psql("INSERT INTO units (attempt_uuid, station_id) VALUES ('not-a-uuid7', 'OLD'), "
                              "('%s', 'OLD')" % uuid7_at(int(time.time() * 1000) + 10 * 365 * 86400000))[0], 0)
        before = one(EVERY_ROW)

        records, procs = self.shippers(3000, 20)
        self.until("SELECT count(*) >= 200 FROM units WHERE station_id IN ('B1', 'B2')", "no station shipped")
        started = one("SELECT clock_timestamp()")
        took = time.monotonic()
        code, _, err = self.tarvolo("central", "init", "--central", connection())
        took = time.monotonic() - took
        self.assertEqual(code, 0, err)
        ended = one("SELECT clock_timestamp()")
        self.wait_shipped(procs)

        self.assertEqual(one("SELECT relkind FROM pg_class WHERE relname = 'units'"), "p")
        self.assertEqual(one(EVERY_ROW), before)
        # The shippers' units: each once, equal to its record; some came before, some after.
        self.assertShipped(records, 6000)
        spread = one("SELECT count(*) FILTER (WHERE received < '%s') || ' ' || count(*) FILTER (WHERE received > '%s') "
                     "FROM units WHERE station_id IN ('B1', 'B2')" % (started, ended)).split()
        self.assertTrue(int(spread[0]) > 0 and int(spread[1]) > 0, spread)
        # The grants and row rules came along: a station still reads only its own rows.
        self.assertEqual(psql("SELECT DISTINCT station_id FROM units", user=self.logins[0])[1].split(), ["B1"])
        self.assertIn("row-level security", psql("INSERT INTO units (attempt_uuid, station_id) VALUES ('x', 'B2')",
                                                 user=self.logins[0])[2])
        self.assertEqual(one("SELECT count(*) FROM units_other"), "2")
        parts = months()
        self.assertEqual(len(parts), 3 + 1 + 12 + 1)  # three past months, this one, a year ahead, the default
        print("\nmigration of %d units: %.2f s; the stations shipped %s units before it and %s after" %
              (OLD_UNITS, took, spread[0], spread[1]))

        # A unit of a month with no partition waits in the default one and moves when init makes it.
        nxt = parts[-13]
        self.assertEqual(psql("DROP TABLE %s" % nxt)[0], 0)
        first = one("SELECT tarvolo_month_bound(to_date('%s', 'YYYY_MM'))" % nxt[6:])
        stray = first + "-7abc-8def-0123456789ab"
        self.assertEqual(psql("INSERT INTO units (attempt_uuid, station_id) VALUES ('%s', 'OLD')" % stray)[0], 0)
        self.assertEqual(one("SELECT tableoid::regclass FROM units WHERE attempt_uuid = '%s'" % stray), "units_other")
        self.assertEqual(self.tarvolo("central", "init", "--central", connection())[0], 0)
        self.assertEqual(one("SELECT tableoid::regclass FROM units WHERE attempt_uuid = '%s'" % stray), nxt)

    def test_retire_while_a_station_ships(self):
        for back in (3, 2, 1):
            self.assertEqual(psql("SELECT tarvolo_units_month(date_trunc('month', now() - interval '%d months')::date)"
                                  % back)[0], 0)
        self.assertEqual(psql(GENERATE % (6000, 6000))[0], 0)
        current = one("SELECT 'units_' || to_char(now() AT TIME ZONE 'UTC', 'YYYY_MM')")
        past = [m for m in months() if m < current]
        self.assertEqual(len(past), 3)
        kept = "SELECT count(*), md5(string_agg(attempt_uuid, ',' ORDER BY attempt_uuid)) FROM %s WHERE station_id = 'OLD'"
        current_before = one(kept % current)
        month = lambda part: part[6:10] + "-" + part[11:]

        for bad in ("2025-13", "2025-1", "25-01", "2025-01-01", "next\x1b[2Jmonth", ""):
            code, _, err = self.tarvolo("central", "retire", "--before", bad, "--central", connection())
            self.assertEqual(code, 64, bad)
            self.assertNotIn("\x1b", err)
        ahead = months()[months().index(current) + 1]
        code, _, err = self.tarvolo("central", "retire", "--before", month(ahead), "--central", connection())
        self.assertEqual(code, 64, err)
        self.assertIn("would take the current month", err)

        code, out, err = self.tarvolo("central", "retire", "--before", month(current), "--dry-run", "--central",
                                      connection())
        self.assertEqual(code, 0, err)
        self.assertEqual([line.split()[2] for line in out.splitlines()], past)
        self.assertEqual(months()[:3], past)

        records, procs = self.shippers(2000, 20)
        self.until("SELECT count(*) >= 200 FROM units WHERE station_id IN ('B1', 'B2')", "no station shipped")
        code, out, err = self.tarvolo("central", "retire", "--before", month(current), "--central", connection())
        self.assertEqual(code, 0, err)
        self.wait_shipped(procs)
        self.assertEqual([line.split()[1] for line in out.splitlines()], past)
        self.assertEqual([m for m in months() if m < current], [])
        self.assertEqual(one(kept % current), current_before)
        self.assertShipped(records, 4000)
        print("\n" + out.strip())
        code, out, _ = self.tarvolo("central", "retire", "--before", month(current), "--central", connection())
        self.assertEqual((code, out.strip()), (0, "no month before %s to drop" % month(current)))


if __name__ == "__main__":
    unittest.main()
