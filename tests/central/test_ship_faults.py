"""Shipping rows the server will not take, against a real PostgreSQL 15: a unit whose lot is too
long for the server's index (SQLSTATE 54000) and a run with a value that is no number (22P02)
are quarantined alone while the rest ships, by `tarvolo ship` and by a station that goes on
arming; a record of the schema before those quarantines opens and keeps every row; a unit the
server holds already with other content is a conflict, never confirmed, shown by `tarvolo log
--quarantined` and by the station, while a unit sent again after a lost confirmation is only
confirmed."""
import json
import os
import re
import sqlite3
import unittest

from central_case import CentralCase, connection, psql
from harness import record_schema_version
from test_central import make_backlog

# Over the ~2.7 kB a btree index row may hold (units_by_lot), and random so that the server
# cannot compress it below that.
LONG_LOT = "L-" + os.urandom(1500).hex()


def make_record(path, version):
    """An empty SQLite record of schema `version` (the first steps of kMigrations), as a station
    of that version made it."""
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "..", "..", "record", "sqlite_schema.h")) as f:
        steps = re.findall(r'R"sql\((.*?)\)sql"', f.read(), re.S)[:version]
    db = sqlite3.connect(path)
    db.create_function("tarvolo_uuid7", 1, lambda utc: None)  # no row needs it here
    for sql in steps:
        db.executescript(sql)
    db.execute("PRAGMA application_id = %d" % 0x54564C52)
    db.execute("PRAGMA user_version = %d" % version)
    db.commit()
    db.close()


def edit(path, sql, *args):
    db = sqlite3.connect(path)
    db.execute(sql, args)
    db.commit()
    db.close()


def summary(out):
    """The figures of `tarvolo ship`'s summary line."""
    m = re.search(r"shipped (\d+) units and (\d+) runs from .*; (\d+) quarantined; (\d+) conflicts; "
                  r"(\d+) not shipped", out)
    return tuple(int(n) for n in m.groups()) if m else out


class ShipFaults(CentralCase):
    def setUp(self):
        super().setUp()
        self.fresh_central("--roles")
        code, _, err = self.tarvolo("central", "init", "--station", "B1", "--central", connection())
        self.assertEqual(code, 0, err)

    def quarantine_of(self, record):
        code, out, err = self.tarvolo("log", "--db", record, "--quarantined", "--json")
        self.assertEqual(code, 0, err)
        return json.loads(out)

    def test_an_overlong_lot_and_a_refused_run_are_quarantined_alone(self):
        # A record of the schema before runs could be quarantined, with a unit already quarantined.
        record = self.path("old.db")
        make_record(record, 5)
        make_backlog(record, 8)
        make_backlog(record, 3)
        edit(record, "UPDATE units SET lot = 'L1'")
        units = self.local_units(record)
        long_unit, refused_run = units[3]["attempt_uuid"], units[8]["run_uuid"]
        edit(record, "UPDATE units SET lot = ? WHERE attempt_uuid = ?", LONG_LOT, long_unit)
        # A hand-edited run: its speed is no number, which the server's bigint refuses.
        edit(record, "UPDATE runs SET speed = 'fast' WHERE run_uuid = ?", refused_run)
        edit(record, "INSERT INTO central_quarantine VALUES (?, '2026-12-01T00:00:00.000Z', '23514', 'old')",
             units[10]["attempt_uuid"])

        code, out, err = self.tarvolo("ship", "--db", record, "--central", connection(user="tarvolo_station_b1"),
                                      "--batch", 4)
        self.assertEqual(code, 0, err)
        self.assertEqual(summary(out), (9, 1, 2, 0, 0))  # 11 units: 1 too long, 1 quarantined before
        db = sqlite3.connect(record)
        self.assertEqual(db.execute("PRAGMA user_version").fetchone()[0], record_schema_version())
        self.assertEqual(db.execute("SELECT count(*) FROM units").fetchone()[0], 11)
        self.assertEqual(db.execute("SELECT count(*) FROM runs").fetchone()[0], 2)
        db.close()
        self.assertCentralHolds([record], exclude=(long_unit, units[10]["attempt_uuid"]))
        self.assertEqual(psql("SELECT run_uuid FROM runs")[1].split(), [units[0]["run_uuid"]])

        held = self.quarantine_of(record)
        by_id = {q["attempt_uuid"]: q for q in held["quarantined"]}
        self.assertEqual(sorted(by_id), sorted([long_unit, units[10]["attempt_uuid"]]))
        self.assertEqual(by_id[long_unit]["sqlstate"], "54000")
        self.assertEqual(by_id[long_unit]["lot"], LONG_LOT)
        self.assertEqual([(r["run_uuid"], r["sqlstate"]) for r in held["quarantined_runs"]], [(refused_run, "22P02")])
        code, out, _ = self.tarvolo("log", "--db", record, "--quarantined")
        self.assertIn("2 units quarantined, 1 runs quarantined, 0 conflicts", out)

        # Shipped again: nothing is retried, nothing is left.
        code, out, err = self.tarvolo("ship", "--db", record, "--central", connection())
        self.assertEqual((code, summary(out)), (0, (0, 0, 0, 0, 0)), err)
        self.assertEqual(self.quarantine_of(record), held)

    def test_a_station_with_an_overlong_lot_goes_on_arming(self):
        release, _ = self.image()
        handsets = self.handsets(1, units=3)
        record = self.path("long.db")
        s = self.named_station("S1", release, [handsets[0].link], "--units", 3, "--central", connection(),
                               "--central-required", 0.05, record=record, lot=LONG_LOT)
        self.assertEqual(s.wait(120), 0, s.stderr())
        self.assertEqual(len(s.unit_ends()), 3)
        self.assertEqual([e for e in s.events if e.get("event") == "central_hold"], [])
        last = s.central_events()[-1]
        self.assertEqual((last["connected"], last["unconfirmed"], last["quarantined"]), (True, 0, 3), last)
        self.assertEqual(psql("SELECT count(*) FROM runs WHERE lot = '%s'" % LONG_LOT)[1].strip(), "1")
        self.assertEqual(self.central_units(), [])

    def test_a_conflicting_duplicate_is_reported_not_confirmed(self):
        record = self.path("dup.db")
        make_record(record, record_schema_version())
        make_backlog(record, 3)
        edit(record, "UPDATE units SET lot = 'L1'")
        units = self.local_units(record)
        clash = dict(units[1], lot="L-OTHER", result_code=99)
        code, _, err = psql("INSERT INTO units (%s) SELECT %s FROM json_populate_record(NULL::units, '%s')" %
                            (",".join(clash), ",".join(clash), json.dumps(clash).replace("'", "''")))
        self.assertEqual(code, 0, err)

        code, out, err = self.tarvolo("ship", "--db", record, "--central", connection(user="tarvolo_station_b1"))
        self.assertEqual((code, summary(out)), (0, (2, 1, 0, 1, 0)), out + err)
        self.assertIn(clash["attempt_uuid"], err)
        self.assertIn("lot,result_code", err)
        db = sqlite3.connect(record)
        confirmed = {r[0] for r in db.execute("SELECT attempt_uuid FROM central_confirmed")}
        db.close()
        self.assertEqual(confirmed, {units[0]["attempt_uuid"], units[2]["attempt_uuid"]})
        self.assertEqual(self.central_units("attempt_uuid = '%s'" % clash["attempt_uuid"])[0]["lot"], "L-OTHER")
        conflicts = self.quarantine_of(record)["conflicts"]
        self.assertEqual([(c["attempt_uuid"], c["differing"]) for c in conflicts],
                         [(clash["attempt_uuid"], ["lot", "result_code"])])
        code, out, _ = self.tarvolo("log", "--db", record, "--quarantined")
        self.assertRegex(out, r"%s +conflict +central row differs in: lot,result_code" % clash["attempt_uuid"])

        # A confirmation lost after the server committed: sent again, only confirmed.
        edit(record, "DELETE FROM central_confirmed WHERE attempt_uuid = ?", units[0]["attempt_uuid"])
        code, out, err = self.tarvolo("ship", "--db", record, "--central", connection(user="tarvolo_station_b1"))
        self.assertEqual((code, summary(out)), (0, (1, 0, 0, 0, 0)), out + err)

        # The station on that record says so too, naming the unit and the columns.
        release, _ = self.image()
        handsets = self.handsets(1, units=1)
        s = self.named_station("S1", release, [handsets[0].link], "--units", 1, "--central", connection(),
                               record=record)
        self.assertEqual(s.wait(120), 0, s.stderr())
        last = s.central_events()[-1]
        self.assertEqual((last["unconfirmed"], last["conflicts"], last["conflict"]),
                         (0, 1, {"attempt_uuid": clash["attempt_uuid"], "differing": ["lot", "result_code"]}), last)


if __name__ == "__main__":
    unittest.main()
