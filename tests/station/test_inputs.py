"""What a station tells of a download it cannot do whole: the end of an image that no whole
block carries (a warning before the transfer, a column of the record), the reason an abort
was started beside result 4 (record, `tarvolo log`), a release file that is not a file, and
a JSON Lines record another writer holds locked. An old record a station writes to keeps its
rows and gives them ids; each new row carries the handset's whole parameter record."""
import fcntl
import json
import os
import re
import sqlite3
import subprocess
import time
import unittest

from station_case import BS, StationCase  # puts the end-to-end kit on the path
from e2e_case import data_block  # noqa: E402
from harness import bin_dir, parameter_record  # noqa: E402


SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
NOBODY = 65534


def log(*args, user=None):
    proc = subprocess.run([os.path.join(bin_dir(), "tarvolo"), "log"] + list(args),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60,
                          user=user, group=user, extra_groups=[] if user else None)
    return proc.returncode, proc.stdout, proc.stderr


UUID7 = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-7[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")


def make_first_version_record(path):
    """A record as the first schema made it, in WAL mode as a station leaves it, holding one
    failed unit."""
    with open(os.path.join(SOURCE, "record", "sqlite_schema.h")) as f:
        first = f.read().split('R"sql(')[1].split(')sql"')[0]
    db = sqlite3.connect(path)
    db.executescript(first)
    db.execute("PRAGMA user_version = 1")
    db.execute("PRAGMA application_id = %d" % 0x54564C52)
    for table, given in (("runs", {"station_id": "OLD"}),
                         ("units", {"run_id": 1, "sequence": 1, "outcome": "failed",
                                    "result_code": 4, "port_selector": "old",
                                    "result_meaning": "the handset acknowledged the abort"})):
        columns = [c for c in db.execute("PRAGMA table_info(%s)" % table)
                   if c[1] not in ("run_id", "unit_id") or c[1] in given]
        values = [given.get(c[1], 0 if c[2] == "INTEGER" else "") for c in columns]
        db.execute("INSERT INTO %s (%s) VALUES (%s)" % (table, ",".join(c[1] for c in columns),
                                                       ",".join("?" * len(columns))), values)
    db.commit()
    db.execute("PRAGMA journal_mode = WAL")
    db.close()


class StationInputs(StationCase):
    def tail_release(self):
        return self.release([data_block(BS, n) for n in range(2)], tail=b"\x01" * 10)

    def test_an_old_record_is_read_by_anyone_and_upgraded_by_a_station(self):
        record = self.path("record.db")
        make_first_version_record(record)
        if os.geteuid() == 0:
            # Another user's record in a folder they may not write: read as it stands.
            os.chmod(self.work, 0o755)
            code, out, err = log("--db", record, "--json", user=NOBODY)
            self.assertEqual(code, 0, err)
            self.assertIn("opened read-only as it stands", err)
            units = json.loads(out)["units"]
            self.assertEqual([(u["result_code"], u["abort_reason"], u["unsent_bytes"]) for u in units],
                             [(4, None, None)])
        self.check_unsent_and_abort_reason(record)
        self.check_ids_and_parameter_records(record)

    def check_ids_and_parameter_records(self, record):
        units = self.units_in(record)
        self.assertEqual([u["parameter_record"] for u in units],
                         [None, parameter_record(b"KM52", BS), parameter_record(b"XY99", BS)])
        runs = self.runs_in(record)
        ids = [u["attempt_uuid"] for u in units] + [r["run_uuid"] for r in runs]
        self.assertEqual(len(ids), 5)
        self.assertEqual(len(set(ids)), 5, ids)
        for i in ids:
            self.assertRegex(i, UUID7)
        db = sqlite3.connect(record)
        self.assertEqual(db.execute("PRAGMA user_version").fetchone()[0], 4)
        db.close()

    def check_unsent_and_abort_reason(self, record):
        release, _ = self.tail_release()
        handsets = self.handsets(1, units=2, per_port=[["--unit-faults", "2:product-id=XY99"]])
        run = self.station(release, [handsets[0].link], "--units", 2, record=record)
        self.assertEqual(run.wait(), 20, run.stderr())

        self.assertEqual([e.get("abort_reason") for e in run.unit_ends()], [None, 2])
        unsent = [e for e in run.events if e.get("event") == "unsent"]
        self.assertEqual([(e["unsent_bytes"], e["block_size"], e["port"]) for e in unsent],
                         [(10, BS, handsets[0].link)])
        units = self.units_in(run.record)
        self.assertEqual([(u["run_id"], u["result_code"], u["abort_reason"], u["unsent_bytes"])
                          for u in units], [(1, 4, None, None), (2, 0, None, 10), (2, 4, 2, None)])

        code, out, err = log("--db", run.record, "--failed")
        self.assertEqual(code, 0, err)
        self.assertIn("4 the handset acknowledged the abort (abort started on 2 product "
                      "identifier mismatch", out)
        code, out, err = log("--db", run.record, "--json")
        self.assertEqual(code, 0, err)
        summary = json.loads(out)["summary"]
        self.assertEqual(sorted((r["result_code"], r["abort_reason"] or 0, r["count"])
                                for r in summary["failures_by_result"]), [(4, 0, 1), (4, 2, 1)])

    def test_a_release_file_that_is_not_a_file_stops_before_any_port(self):
        fifo = self.path("release.fifo")
        os.mkfifo(fifo)
        for path, why in ((fifo, ": not a file"), (self.work, ": not a file")):
            run = self.station(path, ["/dev/null-no-port"], "--units", 1)
            self.assertEqual(run.wait(30), 1)
            self.assertIn("cannot open the release file " + path + why, run.stderr())
        short = self.path("short.rel")
        with open(short, "wb") as f:
            f.write(b"KM52")
        run = self.station(short, ["/dev/null-no-port"], "--units", 1)
        self.assertEqual(run.wait(30), 1)
        self.assertIn(short + " holds a product identifier but no image", run.stderr())

    def test_a_json_lines_record_is_locked_while_a_run_is_begun(self):
        release, _ = self.image(blocks=1)
        record = self.path("record.jsonl")
        handsets = self.handsets(1, units=1)
        with open(record, "a") as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            run = self.station(release, [handsets[0].link], "--units", 1, record=record)
            time.sleep(1.5)
            self.assertEqual(os.path.getsize(record), 0, "written while another writer held the lock")
            self.assertIsNone(run.proc.poll())
            fcntl.flock(held, fcntl.LOCK_UN)
        self.assertEqual(run.wait(), 0, run.stderr())
        with open(record) as f:
            types = [json.loads(line)["type"] for line in f]
        self.assertEqual(types, ["header", "run", "unit", "run_end"])


if __name__ == "__main__":
    unittest.main()
