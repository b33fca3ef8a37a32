"""The line's dashboard in a real browser: two stations of virtual handsets ship to a throwaway
PostgreSQL 15, one unit refusing its checksum, under a hostile lot and operator; a third station
last heard from long ago; one release approved and one revoked. `tarvolo dashboard`, as the reader
role, serves the page on an address that asks for a token; Debian's chromium (puppeteer-core, line_page_check.cjs) reads it: the
stations with `tarvolo log --central`'s counts, the silent one as silent, the search finding the
failed unit, its CSV export equal to `tarvolo log --central --csv`, and the hostile text shown
as text with no script run."""
import csv
import http.client
import io
import json
import os
import signal
import subprocess
import time
import unittest

from central_case import CentralCase, connection, free_port, kill_server, psql, start_server
from harness import bin_dir

OPERATOR = '<script>window.__pwned="operator"</script> "double" \'single\' \x1b[31mred'
LOT = '<img src=x onerror="window.__pwned=\'lot\'">\x1b'
HOST = "127.0.0.2"  # not 127.0.0.1, so the page asks for its token (still this machine only)
TOKEN = "tk-line-4Fq8Zr2Wm7Xp"
HERE = os.path.dirname(os.path.abspath(__file__))
NODE_CHECK = os.path.join(HERE, "..", "web", "line_page_check.cjs")


def shown(text):
    """How a page shows control characters: \\xNN, as a terminal does."""
    return "".join("\\x%02X" % ord(c) if ord(c) < 0x20 or 0x7F <= ord(c) <= 0x9F else c for c in text)


def answer_of(port, path, method="GET", headers=None):
    c = http.client.HTTPConnection(HOST, port, timeout=10)
    try:
        c.request(method, path, headers=headers or {})
        r = c.getresponse()
        return r.status, r.read().decode("utf-8", "replace")
    finally:
        c.close()


def status_of(port, path, method="GET", headers=None):
    return answer_of(port, path, method, headers)[0]


def reader_backends():
    """The server processes serving the reader role: the dashboard's connection."""
    return psql("SELECT pid FROM pg_stat_activity WHERE usename = 'tarvolo_reader'")[1].split()


class LinePage(CentralCase):
    def setUp(self):
        super().setUp()
        self.fresh_central("--roles")

    def station(self, name, release, links, operator, lot):
        cmd = [os.path.join(bin_dir(), "tarvolo"), "station", "--ports", ",".join(links), "--log",
               self.path(name + ".db"), "--station-id", name, "--operator", operator, "--lot", lot,
               "--rearm-silence", "1", "--units", 4, "--central", connection(), release]
        return subprocess.Popen([str(c) for c in cmd], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, text=True, cwd=self.work)

    def dashboard(self, port):
        token_file = self.path("token")
        with open(os.open(token_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
            f.write(TOKEN + "\n")
        proc = subprocess.Popen([os.path.join(bin_dir(), "tarvolo"), "dashboard", "--central",
                                 connection(user="tarvolo_reader"), "--http", "%s:%d" % (HOST, port),
                                 "--http-token-file", token_file],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, cwd=self.work)

        def end():
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            proc.stderr.close()
        self.addCleanup(end)
        for _ in range(200):
            try:
                if status_of(port, "/page.css") == 200:
                    return proc
            except OSError:
                time.sleep(0.05)
        self.fail("the dashboard did not come up")

    def test_two_stations_on_the_line_page(self):
        node = os.environ.get("TARVOLO_NODE", "")
        self.assertTrue(os.path.isdir(os.path.join(node, "node_modules", "puppeteer-core")),
                        "no puppeteer-core in %r: run scripts/install-puppeteer.sh" % node)
        release, _ = self.image()
        revoked = self.path("old.rel")
        with open(release, "rb") as f, open(revoked, "wb") as g:
            g.write(f.read() + b"\x00")
        for args in ([release], [revoked], [revoked, "--revoke"]):
            self.assertEqual(self.tarvolo("central", "approve", *args, "--by", "qa", "--central", connection())[0], 0)
        handsets = self.handsets(4, units=2, per_port=[["--unit-faults", "1:wrong-checksum"]])
        links = [h.link for h in handsets]
        stations = [self.station("S1", release, links[:2], OPERATOR, LOT), self.station("S2", release, links[2:], "bo", "L2")]
        for s in stations:
            s.wait(120)
            self.assertIn(s.returncode, (0, 20), s.stderr.read())
            s.stderr.close()
        # A station last heard from five minutes ago, as one whose power went; its clock was three
        # days behind, so its units, started "three days ago" and received now, are the period's.
        psql("INSERT INTO stations (station_id, last_heard) VALUES ('S9', now() - interval '5 minutes')")
        self.assertEqual(psql(
            "INSERT INTO units (attempt_uuid, station_id, lot, outcome, started_utc, duration_ms) SELECT substr(h, 1, 8) "
            "|| '-' || substr(h, 9, 4) || '-7000-8000-00000000000' || n, 'S9', 'L9', 'completed', "
            "to_char(t AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), 1000 FROM generate_series(1, 3) n, "
            "LATERAL (SELECT now() - interval '3 days' + n * interval '1 min' AS t) a, "
            "LATERAL (SELECT lpad(to_hex((extract(epoch FROM t) * 1000)::bigint), 12, '0') AS h) b")[0], 0)

        port = free_port()
        refused = self.tarvolo("dashboard", "--central", connection(), "--http", "%s:%d" % (HOST, port))
        self.assertEqual(refused[0], 64)
        self.assertIn("needs --http-token-file", refused[2])
        dashboard = self.dashboard(port)
        taken = self.tarvolo("dashboard", "--central", connection(), "--http", "%s:%d" % (HOST, port),
                             "--http-token-file", self.path("token"))
        self.assertEqual(taken[0], 22, taken[2])  # the port is served already: refused, not shared
        cookie = {"Authorization": "Bearer " + TOKEN}
        for path in ("/", "/api/line", "/api/units", "/units.csv", "/dashboard.js"):
            self.assertEqual(status_of(port, path), 401, path)
        self.assertEqual(status_of(port, "/api/units", "POST", cookie), 405)
        self.assertEqual(status_of(port, "/api/units?from=yesterday", headers=cookie), 400)
        # A search value the database would refuse is refused first, in the dashboard's own
        # words; the dashboard keeps its connection (the same server process) and answers next.
        held = reader_backends()
        self.assertEqual(len(held), 1)
        for bad in ("result=99999999999999999999", "label=" + "x" * 300, "station=%FF",
                    "from=2026-13-45"):
            status, body = answer_of(port, "/api/units?" + bad, headers=cookie)
            self.assertEqual(status, 400, bad)
            self.assertEqual(list(json.loads(body)), ["error"])
            self.assertNotIn("ERROR", body)  # no words of the database's
        self.assertEqual(status_of(port, "/api/units?result=failed", headers=cookie), 200)
        self.assertEqual(reader_backends(), held)

        shot_dir = os.environ.get("TARVOLO_SCREENSHOTS", os.path.join(bin_dir(), "..", "screenshots"))
        os.makedirs(shot_dir, exist_ok=True)
        check = subprocess.run(["node", NODE_CHECK, json.dumps({
            "url": "http://%s:%d/" % (HOST, port), "token": TOKEN, "stations": 3, "screenshot": os.path.join(shot_dir, "line-page.png")})],
            capture_output=True, text=True, timeout=120, env=dict(os.environ, TARVOLO_NODE=node))
        seen = json.loads(check.stdout.strip().splitlines()[-1]) if check.stdout.strip() else {}
        self.assertNotIn("error", seen, check.stderr)
        # A page left open all shift outlives a database restart: 503 while it is down, then
        # the dashboard connects again by itself.
        kill_server()
        self.assertEqual(status_of(port, "/api/line", headers=cookie), 503)
        start_server()
        self.assertEqual(status_of(port, "/api/line", headers=cookie), 200)
        # The server sends the 500 lots flashed most recently, newest first, and counts the rest.
        self.assertEqual(psql(
            "INSERT INTO units (attempt_uuid, station_id, lot, outcome, started_utc) SELECT 'many-' || n, 'S2', "
            "'LOT-' || lpad(n::text, 4, '0'), 'completed', to_char(now() AT TIME ZONE 'UTC' - n * interval '1 s', "
            "'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"') FROM generate_series(1, 520) n")[0], 0)
        c = http.client.HTTPConnection(HOST, port, timeout=10)
        c.request("GET", "/api/line", headers=cookie)
        figures = json.loads(c.getresponse().read())["figures"]
        c.close()
        self.assertEqual((len(figures["lots"]), figures["lots_left_off"]), (500, 23))
        self.assertEqual([f["key"] for f in figures["lots"][:3]], ["LOT-0001", "LOT-0002", "LOT-0003"])
        self.assertEqual(psql("DELETE FROM units WHERE attempt_uuid LIKE 'many-%'")[0], 0)
        dashboard.send_signal(signal.SIGINT)
        self.assertEqual(dashboard.wait(30), 0)

        # The stations with the central log's counts; the one long silent shown so.
        code, out, err = self.tarvolo("log", "--central", connection(), "--json")
        self.assertEqual(code, 0, err)
        central = json.loads(out)
        by_station = {s["station_id"]: s for s in central["summary"]["by_station"]}
        rows = {r["station"]: r for r in seen["stations"]}
        self.assertEqual(sorted(rows), ["S1", "S2", "S9"])
        for name in ("S1", "S2"):
            self.assertEqual(rows[name]["units"], str(by_station[name]["units"]))
            self.assertEqual(rows[name]["failed"], str(by_station[name]["failed"]))
            self.assertTrue(rows[name]["state"].startswith("stopped"), rows[name])
        self.assertEqual(rows["S9"]["state"], "silent")
        self.assertEqual((by_station["S1"]["failed"], central["summary"]["units"]), (1, 11))
        self.assertRegex(rows["S9"]["clock"], r"^clock 2 d 23 h behind")
        self.assertEqual((rows["S9"]["units"], rows["S1"]["clock"], rows["S2"]["clock"]), ("3", "", ""))
        self.assertEqual(seen["firstStatus"], 401)  # the login page, once, then the session's cookie
        self.assertEqual(seen["cookie"], {"httpOnly": True, "sameSite": "Strict", "theToken": False, "hours": 12})
        self.assertEqual(seen["line"]["units"], "11")
        self.assertEqual(seen["releases"], [["approved", release], ["revoked", revoked]])

        # The search finds the failed unit; its CSV export is what `log --central --csv` says of it.
        failed = [u for u in central["units"] if u["outcome"] != "completed"]
        self.assertEqual([r["attempt"] for r in seen["found"]], [u["attempt_uuid"] for u in failed])
        exported = list(csv.DictReader(io.StringIO(seen["csv"], newline="")))
        _, out, _ = self.tarvolo("log", "--central", connection(), "--failed", "--csv")
        self.assertEqual(exported, list(csv.DictReader(io.StringIO(out, newline=""))))
        self.assertEqual(exported[0]["lot"], LOT)

        # Outside text is text: shown whole, control characters as \xNN, never run.
        self.assertEqual((rows["S1"]["operator"], rows["S1"]["lot"]), (shown(OPERATOR), shown(LOT)))
        self.assertIn(shown(LOT), seen["lots"])
        self.assertEqual(seen["found"][0]["lot"], shown(LOT))
        self.assertEqual(seen["scripts"], ["/chart.js", "/page.js", "/dashboard.js"])
        self.assertEqual(seen["pageErrors"], [])
        self.assertIsNone(seen["pwnedBefore"])
        self.assertIsNone(seen["pwned"])
        self.assertTrue(any(v.startswith("script-src") for v in seen["violations"]), seen["violations"])


if __name__ == "__main__":
    unittest.main()
