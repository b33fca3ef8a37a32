#!/usr/bin/env python3
"""The units table by month, against a throwaway PostgreSQL 15:
  - migration: a database of the older, unpartitioned schema (tests/central/units_unpartitioned.sql)
    holding N units of full width spread over the last twelve months, turned into month
    partitions by `tarvolo central init`: seconds, and seconds per 100,000 units;
  - retiring: `tarvolo central retire --before` the third-oldest month: the detach and drop of
    the two oldest (the first one partly filled), as the command reports each, and the whole
    command.
It measures, it does not test. Run it beside its own server:
    scripts/build.sh release tarvolo
    scripts/with-postgres.sh python3 bench/units_months_bench.py [--units 1000000]
"""
import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
os.environ.setdefault("TARVOLO_BIN", os.path.join(TOP, "build", "release", "bin"))
sys.path.insert(0, os.path.join(TOP, "tests", "central"))
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))

from central_case import connection, psql  # noqa: E402

BIN = os.environ["TARVOLO_BIN"]

# N units over the last twelve months, every shipped column filled as a station fills it.
GENERATE = """INSERT INTO units SELECT
  substr(h, 1, 8) || '-' || substr(h, 9, 4) || '-7' || substr(r, 1, 3) || '-8' || substr(r, 4, 3) || '-' || substr(r, 7, 12),
  t + interval '2 s', md5((g / 500)::text)::uuid::text, g %% 500, 'S' || (g %% 200), 'Operator ' || (g %% 30),
  'LOT-' || (g / 20000), 'usb:1-1.' || (g %% 16), '/dev/ttyUSB' || (g %% 16), '0403:6001', 'A10K' || (g %% 9999),
  '1-1.' || (g %% 16), to_char(t AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS.MS"Z"'),
  to_char((t + interval '41 s') AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS.MS"Z"'), 41000 + g %% 900,
  'C:\\releases\\km52-3.1.rel', repeat('ab', 32), 'KM52', 'KM52', 'DL01', 1024, 255, 'crc16', 'erase', 115200,
  CASE WHEN g %% 50 = 0 THEN 6 ELSE 0 END, CASE WHEN g %% 50 = 0 THEN 'the checksum differs' ELSE 'done' END,
  CASE WHEN g %% 50 = 0 THEN 'failed' ELSE 'completed' END, g %% 65536, g %% 65536, 0, 0, g %% 3, 0, 0, '1.6.0',
  repeat('cd', 32), NULL, 0, '', 'ftdi_sio', 16, 'LBL' || g, 1
FROM (SELECT g, now() - interval '365 days' * g / (%d + 1) AS t, md5(g::text) AS r FROM generate_series(%d, %d) g) s,
     LATERAL (SELECT lpad(to_hex((extract(epoch FROM t) * 1000)::bigint), 12, '0') AS h) x"""


def run(*args):
    started = time.monotonic()
    p = subprocess.run([os.path.join(BIN, "tarvolo")] + [str(a) for a in args], capture_output=True, text=True)
    if p.returncode != 0:
        sys.exit("tarvolo %s: %s" % (" ".join(map(str, args)), p.stderr))
    return time.monotonic() - started, p.stdout


def sql(text):
    code, out, err = psql(text)
    if code:
        sys.exit(err)
    return out.strip()


def size():
    return sql("SELECT pg_size_pretty(coalesce(sum(pg_total_relation_size(relid)), pg_total_relation_size('units'))) "
               "FROM pg_partition_tree('units')")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--units", type=int, default=1000000)
    units = ap.parse_args().units
    run("central", "init", "--roles", "--central", connection())  # the roles and functions the old rules name
    with open(os.path.join(TOP, "tests", "central", "units_unpartitioned.sql")) as f:
        sql("DROP TABLE units;\n" + f.read())
    started = time.monotonic()
    for first in range(1, units + 1, 100000):  # in steps that each end well within psql's time-out
        sql(GENERATE % (units, first, min(units, first + 99999)))
    sql("VACUUM ANALYZE units")
    print("%d units of the unpartitioned schema made in %.1f s: %s" %
          (units, time.monotonic() - started, size()))

    seconds, _ = run("central", "init", "--central", connection())
    print("migration to month partitions: %.2f s, %.2f s per 100,000 units (central init, the whole command)" %
          (seconds, seconds * 100000 / units))
    oldest = sql("SELECT min(c.relname) FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid WHERE "
                 "i.inhparent = 'units'::regclass AND c.relname <> 'units_other'")
    keep = sql("SELECT to_char(to_date('%s', 'YYYY_MM') + interval '2 months', 'YYYY-MM')" % oldest[6:])
    seconds, out = run("central", "retire", "--before", keep, "--central", connection())
    for line in out.splitlines():
        print("retire: %s (the detach and drop)" % line)
    print("central retire, the whole command: %.2f s" % seconds)
    print("left: %s units in %s" % (sql("SELECT count(*) FROM units"),
                                      size()))


if __name__ == "__main__":
    main()
