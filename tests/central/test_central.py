"""The line's central database against a real PostgreSQL 15: a record's backlog shipped through a
cut proxy, a server killed mid-batch and two shippers at once; a unit the server refuses for its
data quarantined; the station role refused UPDATE and DELETE; stations shipping while the server
is down, cut off and restarted, and a station killed before it shipped; approved releases; and
`tarvolo log --central`. Each ends with every unit centrally once, equal to its record."""
import json
import os
import signal
import sqlite3
import time
import unittest
import uuid

from central_case import (CentralCase, connection, kill_server, psql, start_server, stop_server)
from harness import make_empty_record  # noqa: E402 (on the path central_case sets)

BAD_LOT = "REFUSE-ME"


def backlog_run(db, station):
    """A run of `station` in an open record; returns its run_id."""
    db.execute("INSERT INTO runs (station_id, operator, lot, started_utc, release_file, release_sha256, "
               "file_product_id, mode, speed, port_selectors, tool_version, tool_sha256, units_done, "
               "units_failed, run_uuid) VALUES (?, 'Zoë 測試', 'L1', '2026-12-07T08:00:00.000Z', 'a.rel', ?, "
               "'KM52', 'erase', 115200, '[\"p1\"]', '1.6', ?, 0, 0, ?)", (station, "ab" * 32, "cd" * 32, str(uuid.uuid4())))
    return db.execute("SELECT max(run_id) FROM runs").fetchone()[0]


def backlog_unit(run_id, n, station, lot="L1", ended="2026-12-07T09:00:00.000Z"):
    """The record's row of unit `n` of a run, as a station writes it."""
    return {
        "run_id": run_id, "sequence": n + 1, "station_id": station, "operator": "Zoë 測試",
        "lot": lot, "port_selector": "p%d" % (n % 4),
        "device": "/dev/pts/%d" % n, "usb_id": "", "usb_serial": "\\x01tab\there", "usb_location": "",
        "started_utc": "2026-12-07T08:%02d:%02d.%03dZ" % (n // 3600 % 60, n // 60 % 60, n % 1000),
        "ended_utc": ended, "duration_ms": 1000 + n % 700, "release_file": "a.rel",
        "release_sha256": "ab" * 32, "file_product_id": "KM52", "handset_product_id": "KM52" if n % 5 else None,
        "mode": "erase", "speed": 115200, "result_code": 6 if n % 7 == 0 else 0, "result_meaning": "x",
        "outcome": "completed" if n % 7 else "failed", "expected_checksum": n % 65536, "retries_exchange": 0,
        "retries_erase": 0, "retries_blocks": n % 3, "retries_checksum": 0, "retries_abort": 0,
        "tool_version": "1.6", "tool_sha256": "cd" * 32, "attempt_uuid": str(uuid.uuid4())}


def insert_units(db, rows):
    names = list(rows[0])
    db.executemany("INSERT INTO units (%s) VALUES (%s)" % (", ".join(names), ", ".join("?" * len(names))),
                   [[r[k] for k in names] for r in rows])


def make_backlog(path, count, station="B1"):
    """Units in a record made by `tarvolo ship` (its schema), as a station would have written them."""
    db = sqlite3.connect(path)
    run_id = backlog_run(db, station)
    insert_units(db, [backlog_unit(run_id, n, station, lot=BAD_LOT if n == count // 2 else "L1")
                      for n in range(count)])
    db.commit()
    db.close()


def resume(pid):
    """SIGCONT to a stopped backend, which may have ended since."""
    try:
        os.kill(pid, signal.SIGCONT)
    except ProcessLookupError:
        pass


class Central(CentralCase):
    def setUp(self):
        super().setUp()
        self.fresh_central("--roles")
        # A rule the test's server adds: one lot it refuses, as a site's constraint would.
        self.assertEqual(psql("ALTER TABLE units ADD CONSTRAINT lot_allowed CHECK (lot <> '%s')" % BAD_LOT)[0], 0)

    def test_backlog_through_a_cut_proxy_a_killed_server_and_two_shippers(self):
        record = self.path("backlog.db")
        # A mistyped record is refused, and no empty one is left in its place.
        code, _, err = self.tarvolo("ship", "--db", record, "--central", connection())
        self.assertEqual((code, os.path.exists(record)), (1, False), err)
        self.assertIn("no production record at", err)
        make_empty_record(record)
        code, _, err = self.tarvolo("ship", "--db", record, "--central", connection(port=1))
        self.assertEqual(code, 69, err)  # the server is not there
        make_backlog(record, 6000)
        bad = [u["attempt_uuid"] for u in self.local_units(record) if u["lot"] == BAD_LOT]

        proxy = self.proxy()
        proxy.start()
        ship = self.start_tarvolo("ship", "--db", record, "--central", connection(proxy.port), "--batch", 200)
        time.sleep(1.0)
        proxy.cut()  # the connection goes mid-transaction
        self.assertIn(ship.wait(60), (0, 69), ship.stderr.read())
        ship.stdout.close()
        ship.stderr.close()

        ship = self.start_tarvolo("ship", "--db", record, "--central", connection(), "--batch", 200)
        time.sleep(0.8)
        kill_server()  # mid-batch
        self.assertIn(ship.wait(60), (0, 69))
        ship.stdout.close()
        ship.stderr.close()
        start_server()

        # Two shippers at once, as the station's own login: both end, each unit once.
        password = self.path("password")
        with open(password, "w") as f:
            f.write("s3cr3t-pw\n")
        os.chmod(password, 0o600)
        self.assertEqual(self.tarvolo("central", "init", "--station", "B1", "--central", connection())[0], 0)
        both = [self.start_tarvolo("ship", "--db", record, "--central", connection(user="tarvolo_station_b1"),
                                   "--central-password-file", password) for _ in range(2)]
        for p in both:
            out, err = p.communicate(timeout=120)
            self.assertEqual(p.returncode, 0, err)
            self.assertNotIn("s3cr3t-pw", out + err)
        self.assertCentralHolds([record], exclude=bad)

        # The refused unit waits in the quarantine with the server's words.
        code, out, err = self.tarvolo("log", "--db", record, "--quarantined", "--json")
        self.assertEqual(code, 0, err)
        quarantined = json.loads(out)["quarantined"]
        self.assertEqual([q["attempt_uuid"] for q in quarantined], bad)
        self.assertEqual(quarantined[0]["sqlstate"], "23514")
        self.assertIn("lot_allowed", quarantined[0]["message"])

        # The station's login inserts, and may neither change nor remove a unit.
        for sql in ("UPDATE units SET outcome = 'completed'", "DELETE FROM units"):
            code, _, err = psql(sql, user="tarvolo_station_b1")
            self.assertNotEqual(code, 0)
            self.assertIn("permission denied", err)
        self.assertNotEqual(psql("SELECT count(*) FROM releases", user="tarvolo_reader")[0], 1)
        self.assertIn("permission denied", psql("INSERT INTO releases VALUES ('a','b','c','d','e')",
                                                user="tarvolo_reader")[2])

        # A password is never echoed, whatever fails.
        code, out, err = self.tarvolo("ship", "--db", record, "--central", connection(port=1),
                                      "--central-password-file", password)
        self.assertEqual(code, 69)
        self.assertNotIn("s3cr3t-pw", out + err)
        code, _, err = self.tarvolo("ship", "--db", record, "--central", connection() + "PWD=s3cr3t-pw;")
        self.assertEqual(code, 64)
        self.assertNotIn("s3cr3t-pw", err)
        # Nor in the environment, which every child inherits: refused the same way.
        code, _, err = self.tarvolo("ship", "--db", record, env={"TARVOLO_CENTRAL": connection() + "PWD={s3}}cr3t}"})
        self.assertEqual(code, 64)
        self.assertIn("TARVOLO_CENTRAL holds a password", err)
        self.assertIn("--central-password-file", err)
        self.assertNotIn("cr3t", err)
        # A password file others may read is refused, naming it and the cure.
        os.chmod(password, 0o644)
        code, _, err = self.tarvolo("ship", "--db", record, "--central", connection(user="tarvolo_station"),
                                    "--central-password-file", password)
        self.assertEqual(code, 64)
        self.assertIn("chmod 600 " + password, err)
        self.assertIn("mode 0644", err)
        self.assertNotIn("s3cr3t-pw", err)


def write_approvals(path, release, fetched):
    """The copy of the approvals a station keeps beside its record, approving `release`,
    fetched at `fetched` (seconds since the epoch)."""
    import hashlib
    with open(release, "rb") as f:
        data = f.read()
    stamp = time.strftime("%Y-%m-%dT%H:%M:%S.000Z", time.gmtime(fetched))
    with open(path + ".approvals.json", "w") as f:
        json.dump({"fetched_utc": stamp, "releases": [{
            "sha256": hashlib.sha256(data).hexdigest(), "product_id": data[:4].decode(), "release_file": release,
            "approved_by": "qa", "approved_utc": stamp, "revoked_by": "", "revoked_utc": ""}]}, f)

    def login(self, station):
        """`central init --station`: the station's own login, its name from what init printed."""
        code, out, err = self.tarvolo("central", "init", "--station", station, "--central", connection())
        self.assertEqual(code, 0, err)
        return out.split("writes as the login ")[1].split()[0]

    def test_a_station_login_writes_only_as_its_own_station(self):
        # An older server's shared role could log in; init again takes that away, and is idempotent.
        self.assertEqual(psql("ALTER ROLE tarvolo_station LOGIN")[0], 0)
        for _ in range(2):
            self.assertEqual(self.tarvolo("central", "init", "--roles", "--central", connection())[0], 0)
        self.assertIn("not permitted to log in", psql("SELECT 1", user="tarvolo_station")[2])
        st1, st3 = self.login("st1"), self.login("ST-3")
        self.assertEqual((st1, st3), ("tarvolo_station_st1", "tarvolo_station_st_3"))
        code, _, err = self.tarvolo("central", "init", "--station", "st2", "--station-login", st1,
                                    "--central", connection())
        self.assertEqual(code, 69)
        self.assertIn("already writes as station 'st1'", err)

        # A real station run as ST-3 ships its run, its end, its units and its heartbeat.
        release, _ = self.image()
        handsets = self.handsets(1, units=2)
        s3 = self.named_station("ST-3", release, [handsets[0].link], "--units", 2, "--central",
                                connection(user=st3), record=self.path("st3.db"))
        self.assertIn(s3.wait(90), (0, 20), s3.stderr())
        self.assertEqual(s3.central_events()[-1]["unconfirmed"], 0, s3.central_events())
        self.assertCentralHolds([s3.record])
        self.assertEqual(psql("SELECT count(*) FROM run_ends")[1].split(), ["1"])

        # st1 is running: its row, its live run with no end.
        self.assertEqual(psql("INSERT INTO stations (station_id, tool_version) VALUES ('st1', '1.6'); "
                              "INSERT INTO runs (run_uuid, station_id) VALUES ('live-st1', 'st1')")[0], 0)
        before = psql("SELECT last_heard, tool_version FROM stations WHERE station_id = 'st1'")[1]
        # Another station's row is not there for it; every row of another station is refused.
        code, out, err = psql("UPDATE stations SET last_heard = now() + interval '10 years', tool_version = 'forged' "
                              "WHERE station_id = 'st1' RETURNING 1", user=st3)
        self.assertEqual((code, out), (0, ""), err)
        for sql in ("INSERT INTO run_ends (run_uuid, ending) VALUES ('live-st1', 'forged-by-st3')",
                    "INSERT INTO units (attempt_uuid, station_id) VALUES ('forged-unit', 'st1')",
                    "INSERT INTO units (attempt_uuid, station_id, run_uuid) VALUES ('forged-unit', 'ST-3', 'live-st1')",
                    "INSERT INTO runs (run_uuid, station_id) VALUES ('forged-run', 'st1')",
                    "INSERT INTO stations (station_id) VALUES ('st9')",
                    "UPDATE stations SET last_heard = now() + interval '10 years'",
                    "UPDATE stations SET first_heard = now()"):
            code, _, err = psql(sql, user=st3)
            self.assertNotEqual(code, 0, sql)
            self.assertRegex(err, "row-level security|permission denied", sql)
        self.assertEqual(psql("SELECT last_heard, tool_version FROM stations WHERE station_id = 'st1'")[1], before)
        self.assertEqual(psql("SELECT count(*) FROM run_ends WHERE run_uuid = 'live-st1'")[1].split(), ["0"])
        self.assertEqual(psql("SELECT count(*) FROM units WHERE attempt_uuid = 'forged-unit'")[1].split(), ["0"])
        # It sees its own runs and units only, and neither the logins nor the heartbeats of others.
        own = {r["run_uuid"] for r in self.runs_in(s3.record)}
        self.assertEqual(set(psql("SELECT run_uuid FROM runs", user=st3)[1].split()), own)
        self.assertEqual(psql("SELECT station_id FROM stations", user=st3)[1].split(), ["ST-3"])
        self.assertEqual(len(psql("SELECT attempt_uuid FROM units", user=st3)[1].split()), 2)
        self.assertIn("permission denied", psql("SELECT * FROM station_logins", user=st3)[2])
        # The reader still reads the whole line.
        self.assertEqual(psql("SELECT count(*) FROM runs", user="tarvolo_reader")[1].split(), [str(len(own) + 1)])

    def test_a_frozen_server_neither_hides_the_backlog_nor_holds_the_stop(self):
        login = self.login("S9")
        release, _ = self.image()
        handsets = self.handsets(2, units=8)
        s = self.named_station("S9", release, [h.link for h in handsets], "--central", connection(user=login),
                               record=self.path("s9.db"))
        self.assertIsNotNone(s.wait_for(lambda e: e.get("event") == "unit_end", 60))
        for _ in range(100):
            if self.central_units():
                break
            time.sleep(0.1)
        code, out, _ = psql("SELECT pid FROM pg_stat_activity WHERE usename = '%s'" % login)
        backend = int(out.split()[0])
        os.kill(backend, signal.SIGSTOP)
        self.addCleanup(resume, backend)
        stopped = time.monotonic()
        # Its next batch never gets an answer: shown as lost within the bound, the units counted meanwhile.
        lost = s.wait_for(lambda e: e.get("event") == "central" and not e["connected"], 30)
        self.assertIsNotNone(lost, s.central_events())
        self.assertIn("has not answered", lost["error"])
        shown_after = time.monotonic() - stopped
        self.assertLess(shown_after, 10 + 4 + 3)  # the bound, a unit to ship, the event's second
        counted = s.wait_for(lambda e: e.get("event") == "central" and e["unconfirmed"] >= 2, 30)
        self.assertIsNotNone(counted, s.central_events())
        asked = time.monotonic()
        s.proc.send_signal(signal.SIGINT)
        self.assertEqual(s.wait(10), 130, s.stderr())
        took = time.monotonic() - asked
        last = s.central_events()[-1]
        self.assertFalse(last["connected"])
        self.assertEqual(last["unconfirmed"], len(self.units_in(s.record)) - len(self.central_units()))
        print("\nfrozen server: shown lost after %.1f s, Ctrl-C ended the station in %.1f s" % (shown_after, took))
        resume(backend)
        code, _, err = self.tarvolo("ship", "--db", s.record, "--central", connection(user=login))
        self.assertEqual(code, 0, err)
        self.assertCentralHolds([s.record])


class Stations(CentralCase):
    def setUp(self):
        super().setUp()
        self.fresh_central()

    def test_three_stations_through_a_server_down_cut_and_killed_then_the_log(self):
        release, _ = self.image()
        faults = [["--unit-faults", "2:completion-refusals"], ["--unit-faults", "1:wrong-checksum"], [], []]
        handsets = self.handsets(12, units=2, per_port=faults * 3)
        links = [h.link for h in handsets]
        proxy = self.proxy()
        proxy.start()
        stop_server()  # down when the stations start
        s1 = self.named_station("S1", release, links[:4], "--units", 8, "--central", connection(),
                                record=self.path("s1.db"))
        s2 = self.named_station("S2", release, links[4:8], "--units", 8, "--central", connection(proxy.port),
                                record=self.path("s2.db"))
        s3 = self.named_station("S3", release, links[8:], "--units", 8, "--central", connection(),
                                record=self.path("s3.db"))
        self.assertIsNotNone(s1.wait_for(lambda e: e.get("event") == "unit_end", 90))
        said = lambda: any(not e["connected"] and "error" in e for e in s1.central_events())  # noqa: E731
        for _ in range(100):
            if said():
                break
            time.sleep(0.1)
        self.assertTrue(said(), s1.central_events())
        start_server()
        self.assertIsNotNone(s2.wait_for(lambda e: len(s2.unit_ends()) >= 3, 90))
        proxy.cut()  # S2's connection goes, mid-transaction or between
        time.sleep(0.5)
        proxy.start()
        self.assertIsNotNone(s1.wait_for(lambda e: len(s1.unit_ends()) >= 5, 90))
        kill_server()
        start_server()
        for s in (s1, s2, s3):
            self.assertIn(s.wait(120), (0, 20), s.stderr())
            self.assertTrue(s.central_events()[-1]["connected"], s.central_events()[-1])
            self.assertEqual(s.central_events()[-1]["unconfirmed"], 0)
        self.assertCentralHolds([s1.record, s2.record, s3.record])
        code, out, _ = psql("SELECT station_id FROM stations ORDER BY 1")
        self.assertEqual(out.split(), ["S1", "S2", "S3"])

        # The central log sums up what the local logs do, and each station apart.
        code, out, err = self.tarvolo("log", "--central", connection(), "--json")
        self.assertEqual(code, 0, err)
        central = json.loads(out)["summary"]
        local = [json.loads(self.tarvolo("log", "--db", s.record, "--json")[1])["summary"] for s in (s1, s2, s3)]
        for key in ("units", "completed", "failed", "interrupted"):
            self.assertEqual(central[key], sum(l[key] for l in local))
            self.assertEqual([s[key] for s in central["by_station"]], [l[key] for l in local])
        self.assertEqual(central["units"], 24)
        code, out, _ = self.tarvolo("log", "--central", connection(), "--station", "S2", "--failed", "--json")
        only = json.loads(out)
        self.assertTrue(all(u["station_id"] == "S2" and u["outcome"] != "completed" for u in only["units"]))
        self.assertEqual(len(only["units"]), local[1]["failed"] + local[1]["interrupted"])
        # The listing names each unit's station once it holds several.
        code, out, _ = self.tarvolo("log", "--central", connection())
        rows = [line.split() for line in out.splitlines()[1:25]]
        self.assertEqual(out.split()[2], "station")
        self.assertEqual(sorted({r[1] for r in rows}), ["S1", "S2", "S3"])
        # A label narrows the central listing as it does the local one (these units have none).
        code, out, _ = self.tarvolo("log", "--central", connection(), "--label", "IMEI-NOT-SCANNED", "--json")
        self.assertEqual((code, json.loads(out)["units"]), (0, []))
        # A listing is bounded: the latest units, the rest counted and said, the summary whole.
        code, out, _ = self.tarvolo("log", "--central", connection(), "--limit", 5, "--json")
        bounded = json.loads(out)
        latest = sorted(u["started_utc"] for u in self.central_units())[-5:]
        self.assertEqual([u["started_utc"] for u in bounded["units"]], latest)
        self.assertEqual((bounded["units_left_off"], bounded["summary"]["units"]), (19, 24))
        code, out, _ = self.tarvolo("log", "--central", connection(), "--limit", 5)
        self.assertIn("19 more earlier units not listed (these are the latest 5); use --since or --limit", out)

    def test_station_killed_before_shipping_and_approvals(self):
        release, _ = self.image()
        other = self.path("other.rel")
        with open(release, "rb") as f, open(other, "wb") as g:
            g.write(f.read() + b"\x00")
        self.assertEqual(self.tarvolo("central", "approve", release, "--by", "qa")[0], 64)  # no server named
        code, out, err = self.tarvolo("central", "approve", release, "--by", "qa", "--central", connection())
        self.assertEqual(code, 0, err)
        record = self.path("s3.db")
        handsets = self.handsets(1, "--unit-max-ms", 4000, units=4)
        dead = connection(port=1)
        # Not approved: refused before any port, naming the file and its SHA-256.
        code, _, err = self.tarvolo("station", "--ports", handsets[0].link, "--log", record, "--require-approval",
                                    "--central", connection(), other)
        self.assertEqual(code, 1)
        import hashlib
        with open(other, "rb") as f:
            self.assertIn(hashlib.sha256(f.read()).hexdigest(), err)
        self.assertIn("not approved", err)

        # Committed locally, not shipped (the server unreachable): with --central-required the station
        # stops arming once that unit has waited too long; killed then, the next start ships it.
        s = self.named_station("S3", release, [handsets[0].link], "--central", dead, "--require-approval",
                               "--central-required", 0.05, record=record)
        self.assertIsNotNone(s.wait_for(lambda e: e.get("event") == "unit_end", 60))
        hold = s.wait_for(lambda e: e.get("event") == "central_hold", 30)
        self.assertIn("not arming new units", hold["reason"])
        workers = self.workers_of(s.proc.pid)
        s.proc.kill()  # a power cut: the station and its workers at once
        for pid in workers.values():
            os.kill(pid, signal.SIGKILL)
        s.wait()
        self.assertIn("using the approvals fetched", s.stderr())
        killed = len(self.local_units(record))
        self.assertGreaterEqual(killed, 1)
        self.assertEqual(self.central_units(), [])
        again = self.named_station("S3", release, [handsets[0].link], "--central", connection(),
                                   "--require-approval", "--approval-check-ms", 300, record=record)
        self.assertIsNotNone(again.wait_for(lambda e: e.get("event") == "unit_end", 60))
        # A revocation stops arming while the station runs.
        self.assertEqual(self.tarvolo("central", "approve", release, "--by", "qa", "--revoke", "--central",
                                      connection())[0], 0)
        hold = again.wait_for(lambda e: e.get("event") == "central_hold", 30)
        self.assertIn("revoked", hold["reason"])
        again.proc.terminate()
        self.assertEqual(again.wait(60), 130, again.stderr())
        self.assertGreater(len(self.local_units(record)), killed)
        self.assertCentralHolds([record])

        # The server unreachable, approvals kept from more than a week ago are not trusted: refused
        # at start, saying why; kept from moments ago, trusted only until the limit, then no arming.
        old = self.path("old.db")
        spare = self.handsets(1, units=2)[0]  # made now: a handset's units leave on their own in time
        write_approvals(old, release, time.time() - 8 * 86400)
        code, _, err = self.tarvolo("station", "--ports", spare.link, "--log", old, "--require-approval",
                                    "--central", dead, release)
        self.assertEqual(code, 1, err)
        self.assertIn("last fetched at", err)
        self.assertIn("--approval-max-age", err)
        write_approvals(old, release, time.time() - 2)
        late = self.named_station("S4", release, [spare.link], "--central", dead, "--require-approval",
                                  "--approval-max-age", 0.0001, record=old)  # 8.6 s
        hold = late.wait_for(lambda e: e.get("event") == "central_hold", 30)
        self.assertIsNotNone(hold, (late.events, late.proc.poll(), late.stderr()))
        self.assertIn("last fetched at", hold["reason"])
        late.proc.terminate()
        late.wait(60)

        # Revoked: refused at start.
        code, _, err = self.tarvolo("station", "--ports", handsets[0].link, "--log", record, "--require-approval",
                                    "--central", connection(), release)
        self.assertEqual(code, 1)
        self.assertIn("revoked", err)


    def test_a_revocation_signed_centrally_reaches_a_station_whose_folder_has_none(self):
        self.fresh_central()
        release, _ = self.image()
        os.makedirs(self.path("keys"))
        key = self.path("quality.key")
        for args in (("keygen", "--key", key, "--pubkey", self.path("keys/quality.pub")),
                     ("sign", release, "--key", key)):
            code, _, err = self.tarvolo("release", *args)
            self.assertEqual(code, 0, err)
        handsets = self.handsets(1, units=1)
        station = ("station", "--ports", handsets[0].link, "--log", self.path("r.db"), "--units", 1,
                   "--trusted-keys", self.path("keys"), "--central", connection(), release)
        # The quality department's own copy of the list, stored centrally too.
        code, out, err = self.tarvolo("release", "revoke", release, "--key", key, "--list", self.path("qa.list"),
                                      "--central", connection())
        self.assertEqual(code, 0, err)
        code, _, err = self.tarvolo(*station)
        self.assertEqual(code, 1)
        self.assertIn(release + ": revoked", err)
        self.assertIn("revocation list 1", err)
        # A row that is not what the key signed is refused, not believed.
        psql("UPDATE revocation_lists SET list = ''")
        code, _, err = self.tarvolo(*station)
        self.assertEqual(code, 1)
        self.assertIn("revocation list of the central database: bad signature", err)


if __name__ == "__main__":
    unittest.main()
