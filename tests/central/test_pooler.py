"""Stations shipping through pgbouncer in transaction pooling, one server connection shared by
all of them, so that every transaction may follow another station's on it: three stations with
faulty handsets, the pooler killed and started again and the server killed behind it, each unit
centrally once and equal to its record; nothing a station did stays behind on the shared
server connection, and the server's log shows a time-out set in each transaction and no
session setting or named prepared statement of ours; each station's socket keeps its TCP
keepalive; and `tarvolo log --central` pages through the latest units by their key, none twice
or missed."""
import json
import os
import re
import signal
import time

from central_case import (PG_DIR, CentralCase, Pooler, connection, keepalive_timers, kill_server, psql,
                          shipped_columns, start_server)


class ThroughPooler(CentralCase):
    def setUp(self):
        super().setUp()
        self.fresh_central()
        # Every statement the server runs goes to its log, to be read back at the end.
        psql("ALTER SYSTEM SET log_statement = 'all'")
        psql("SELECT pg_reload_conf()")
        self.pooler = Pooler(pool_size=1)
        self.addCleanup(self.pooler.remove)
        self.pooler.start()

    def test_three_stations_through_a_killed_pooler_and_server_then_the_log(self):
        release, _ = self.image()
        faults = [["--unit-faults", "2:completion-refusals"], ["--unit-faults", "1:wrong-checksum"], [], []]
        handsets = self.handsets(12, units=2, per_port=faults * 3)
        links = [h.link for h in handsets]
        pooled = connection(self.pooler.port)
        stations = [self.named_station("S%d" % (i + 1), release, links[4 * i:4 * i + 4], "--units", 8,
                                       "--central", pooled, record=self.path("s%d.db" % (i + 1))) for i in range(3)]
        s1, s2, _ = stations
        self.assertIsNotNone(s1.wait_for(lambda e: len(s1.unit_ends()) >= 2, 90))
        # Each station's connection asked for keepalives: the kernel's timer is armed on it
        # whenever it is idle (while a transaction's bytes are in flight it shows the
        # retransmission timer instead, so it is looked at again).
        for s in stations:
            for _ in range(50):
                timers = keepalive_timers(s.proc.pid, self.pooler.port)
                if timers and all(kind == 2 and when <= 10 for kind, when in timers):
                    break
                time.sleep(0.1)
            self.assertTrue(timers, "station %s holds no connection to the pooler" % s.name)
            self.assertTrue(all(kind == 2 and when <= 10 for kind, when in timers), timers)
        self.pooler.stop(signal.SIGKILL)  # every station's connection goes, mid-transaction or between
        time.sleep(0.5)
        self.pooler.start()
        self.assertIsNotNone(s2.wait_for(lambda e: len(s2.unit_ends()) >= 5, 90))
        kill_server()  # the pooler stays; its server connection goes
        start_server()
        for s in stations:
            self.assertIn(s.wait(120), (0, 20), s.stderr())
            self.assertTrue(s.central_events()[-1]["connected"], s.central_events()[-1])
            self.assertEqual(s.central_events()[-1]["unconfirmed"], 0)
        self.assertCentralHolds([s.record for s in stations])

        # The one server connection that carried every station's transactions kept none of their
        # settings (a session SET would show here, to whichever client came next).
        shown = psql("SHOW statement_timeout; SHOW work_mem")[1].split()
        code, out, err = psql_through(self.pooler.port, "SHOW statement_timeout; SHOW work_mem")
        self.assertEqual((code, out.split()), (0, shown), err)

        # What the server ran: a time-out per transaction, no session setting of ours (psqlODBC's
        # DateStyle and extra_float_digits at connect, and the client parameters pgbouncer
        # restores itself, aside) and no statement prepared by name to be executed later
        # (psqlODBC's unnamed one is parsed and run at once).
        with open(os.path.join(os.path.dirname(PG_DIR), "server.log"), errors="replace") as f:
            log = f.read()
        self.assertIn("SET LOCAL statement_timeout = 60000", log)
        theirs = "DateStyle|extra_float_digits|application_name|client_encoding|TimeZone"
        self.assertEqual(re.findall(r"(?:statement: |;)\s*SET (?!LOCAL)(?!%s)[^;\n]*" % theirs, log), [])
        self.assertEqual(re.findall(r"(?:execute|bind) (?!<unnamed>)[^ :]+:|PREPARE ", log), [])

        # A listing longer than a page, through the pooler: the latest units in order, each once.
        others = [c for c in shipped_columns() + ["run_uuid"] if c not in ("attempt_uuid", "started_utc")]
        code, _, err = psql("INSERT INTO units (attempt_uuid, started_utc, %s) SELECT 'gen-' || g, to_char(timestamp "
                            "'2026-01-01' + g * interval '1 second', 'YYYY-MM-DD\"T\"HH24:MI:SS.000Z'), %s FROM "
                            "generate_series(1, 2500) g, (SELECT * FROM units LIMIT 1) u"
                            % (", ".join(others), ", ".join("u." + c for c in others)))
        self.assertEqual(code, 0, err)
        code, out, err = self.tarvolo("log", "--central", pooled, "--limit", 2200, "--json")
        self.assertEqual(code, 0, err)
        listed = json.loads(out)
        _, everything, _ = psql("SELECT started_utc, attempt_uuid FROM units ORDER BY 1, 2")
        latest = [line.split("\t")[1] for line in everything.splitlines()][-2200:]
        self.assertEqual([u["attempt_uuid"] for u in listed["units"]], latest)
        self.assertEqual((listed["units_left_off"], listed["summary"]["units"]), (2524 - 2200, 2524))


def psql_through(port, sql):
    """psql to the pooler's port (the server's psql, as the postgres login)."""
    import subprocess
    from central_case import PSQL
    p = subprocess.run([PSQL, "-h", "127.0.0.1", "-p", str(port), "-U", "postgres", "-XAtq", "-c", sql, "tarvolo"],
                       capture_output=True, text=True, timeout=60)
    return p.returncode, p.stdout, p.stderr


if __name__ == "__main__":
    import unittest
    unittest.main()
