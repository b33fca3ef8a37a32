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

from central_case import (CentralCase, connection, kill_server, psql, server_up, start_server, stop_server)
from harness import make_empty_record  # noqa: E402 (on the path central_case sets)

BAD_LOT = "REFUSE-ME"


def make_backlog(path, count, station="B1"):
    """Units in a record made by `tarvolo ship` (its schema), as a station would have written them."""
    db = sqlite3.connect(path)
    run_uuid = str(uuid.uuid4())
    db.execute("INSERT INTO runs (station_id, operator, lot, started_utc, release_file, release_sha256, "
               "file_product_id, mode, speed, port_selectors, tool_version, tool_sha256, units_done, "
               "units_failed, run_uuid) VALUES (?, 'Zoë 測試', 'L1', '2026-12-07T08:00:00.000Z', 'a.rel', ?, "
               "'KM52', 'erase', 115200, '[\"p1\"]', '1.6', ?, 0, 0, ?)", (station, "ab" * 32, "cd" * 32, run_uuid))
    run_id = db.execute("SELECT max(run_id) FROM runs").fetchone()[0]
    rows = []
    for n in range(count):
        rows.append({
            "run_id": run_id, "sequence": n + 1, "station_id": station, "operator": "Zoë 測試",
            "lot": BAD_LOT if n == count // 2 else "L1", "port_selector": "p%d" % (n % 4),
            "device": "/dev/pts/%d" % n, "usb_id": "", "usb_serial": "\\x01tab\there", "usb_location": "",
            "started_utc": "2026-12-07T08:%02d:%02d.%03dZ" % (n // 3600 % 60, n // 60 % 60, n % 1000),
            "ended_utc": "2026-12-07T09:00:00.000Z", "duration_ms": 1000 + n % 700, "release_file": "a.rel",
            "release_sha256": "ab" * 32, "file_product_id": "KM52", "handset_product_id": "KM52" if n % 5 else None,
            "mode": "erase", "speed": 115200, "result_code": 6 if n % 7 == 0 else 0, "result_meaning": "x",
            "outcome": "completed" if n % 7 else "failed", "expected_checksum": n % 65536, "retries_exchange": 0,
            "retries_erase": 0, "retries_blocks": n % 3, "retries_checksum": 0, "retries_abort": 0,
            "tool_version": "1.6", "tool_sha256": "cd" * 32, "attempt_uuid": str(uuid.uuid4())})
    names = list(rows[0])
    db.executemany("INSERT INTO units (%s) VALUES (%s)" % (", ".join(names), ", ".join("?" * len(names))),
                   [[r[k] for k in names] for r in rows])
    db.commit()
    db.close()


class Central(CentralCase):
    def setUp(self):
        super().setUp()
        if not server_up():
            start_server()
        psql("DROP TABLE IF EXISTS stations, runs, run_ends, units, releases")
        code, out, err = self.tarvolo("central", "init", "--roles", "--central", connection())
        self.assertEqual(code, 0, err)
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

        # Two shippers at once, as the station's role: both end, each unit once.
        password = self.path("password")
        with open(password, "w") as f:
            f.write("s3cr3t-pw\n")
        os.chmod(password, 0o600)
        both = [self.start_tarvolo("ship", "--db", record, "--central", connection(user="tarvolo_station"),
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

        # The station's role inserts, and may neither change nor remove a unit.
        for sql in ("UPDATE units SET outcome = 'completed'", "DELETE FROM units"):
            code, _, err = psql(sql, user="tarvolo_station")
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


class Stations(CentralCase):
    def setUp(self):
        super().setUp()
        if not server_up():
            start_server()
        psql("DROP TABLE IF EXISTS stations, runs, run_ends, units, releases")
        self.assertEqual(self.tarvolo("central", "init", "--central", connection())[0], 0)

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

    def test_station_killed_before_shipping_and_approvals(self):
        release, _ = self.image()
        other = self.path("other.rel")
        with open(release, "rb") as f, open(other, "wb") as g:
            g.write(f.read() + b"\x00")
        self.assertEqual(self.tarvolo("central", "approve", release, "--by", "qa")[0], 64)  # no server named
        code, out, err = self.tarvolo("central", "approve", release, "--by", "qa", "--central", connection())
        self.assertEqual(code, 0, err)
        record = self.path("s3.db")
        handsets = self.handsets(2, "--unit-max-ms", 4000, units=4)
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
        write_approvals(old, release, time.time() - 8 * 86400)
        code, _, err = self.tarvolo("station", "--ports", handsets[1].link, "--log", old, "--require-approval",
                                    "--central", dead, release)
        self.assertEqual(code, 1, err)
        self.assertIn("last fetched at", err)
        self.assertIn("--approval-max-age", err)
        write_approvals(old, release, time.time() - 2)
        late = self.named_station("S4", release, [handsets[1].link], "--central", dead, "--require-approval",
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


if __name__ == "__main__":
    unittest.main()
