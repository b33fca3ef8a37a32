"""The station's live page in a real browser: Debian's chromium, headless, driven by
puppeteer-core (station_page_check.cjs) against `tarvolo station --http` with four streams
of virtual handsets, one unit refusing its checksum, and hostile operator words. The page is
served on an address other than 127.0.0.1, so it asks for its token (127.0.0.2: still this
machine only, as every server a test starts)."""
import http.client
import json
import os
import signal
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "station"))

from station_case import BS, StationCase  # noqa: E402
from e2e_case import data_block  # noqa: E402
from harness import bin_dir  # noqa: E402

HOST = "127.0.0.2"
TOKEN = "tk-7Qm2v9Xr4LpZ8sWd"
OPERATOR = '<script>window.__pwned="operator"</script> "double" \'single\' \x1b[31mred'
LOT = '<img src=x onerror="window.__pwned=\'lot\'">\x1b'
STATION_ID = '</h1><script>window.__pwned="station"</script>'
PRODUCT = b'<"\x1b>'  # the handsets' identifier, four bytes, and the release file's
HERE = os.path.dirname(os.path.abspath(__file__))


def shown(text):
    """How a page shows control characters: \\xNN, as a terminal does."""
    return "".join("\\x%02X" % ord(c) if ord(c) < 0x20 or 0x7F <= ord(c) <= 0x9F else c for c in text)


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def request(port, path, method="GET", headers=None):
    connection = http.client.HTTPConnection(HOST, port, timeout=10)
    try:
        connection.request(method, path, headers=headers or {})
        answer = connection.getresponse()
        answer.read()
        return answer.status, dict(answer.getheaders())
    finally:
        connection.close()


def page_snapshot(port):
    """The page's JSON as a page first gets it: the snapshot on /events."""
    connection = http.client.HTTPConnection(HOST, port, timeout=10)
    try:
        connection.request("GET", "/events", headers={"Authorization": "Bearer " + TOKEN})
        answer = connection.getresponse()
        for line in answer:
            if line.startswith(b"data: "):
                return json.loads(line[len(b"data: "):])
        raise AssertionError("no snapshot on /events")
    finally:
        connection.close()


class StationPageTest(StationCase):
    def start_station(self, release, handsets, port):
        token_file = self.path("token")
        with open(os.open(token_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
            f.write(TOKEN + "\n")
        cmd = [os.path.join(bin_dir(), "tarvolo"), "station", "--json", "--ports", ",".join(h.link for h in handsets),
               "--log", self.path("record.db"), "--station-id", STATION_ID, "--operator", OPERATOR, "--lot", LOT,
               "--rearm-silence", "1", "--http", "%s:%d" % (HOST, port), "--http-token-file", token_file, release]
        self.out = open(self.path("station.out"), "w")
        self.err = open(self.path("station.err"), "w")
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=self.out, stderr=self.err, cwd=self.work)

        def end():
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            self.out.close()
            self.err.close()
        self.addCleanup(end)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            try:
                request(port, "/page.css")
                return proc
            except OSError:
                time.sleep(0.1)
        self.fail("the station's page did not come up: " + open(self.path("station.err")).read())

    def station_said(self):
        """What the station reported of its units and ports, for a failure's message."""
        with open(self.path("station.out")) as f:
            lines = [l for l in f if '"unit_end"' in l or '"port"' in l or '"error"' in l]
        with open(self.path("station.err")) as f:
            return "\nstation:\n" + "".join(lines[-20:]) + f.read()

    def assertSameFacts(self, snapshot, log):
        """The run as the page's JSON, `--json` and `tarvolo log --json` have it: each port's last
        unit, its start and the run's counts, the same facts under the same names."""
        with open(self.path("station.out")) as f:
            said = [json.loads(line) for line in f]
        ends = {e["sequence"]: e for e in said if e.get("event") == "unit_end"}
        starts = {e["sequence"]: e for e in said if e.get("event") == "unit_start"}
        logged = {u["sequence"]: u for u in log["units"]}
        fields = ("sequence", "outcome", "result_code", "result_meaning", "duration_ms")
        for key, tile in snapshot["ports"].items():
            last = tile["last"]
            self.assertIsNotNone(last, key)
            end, kept = ends[last["sequence"]], logged[last["sequence"]]
            self.assertEqual(end["port"], kept["port_selector"])
            self.assertEqual(starts[last["sequence"]]["port"], end["port"])
            self.assertEqual(last["recorded"], end["recorded"])
            for field in fields:
                self.assertEqual((field, last[field]), (field, end[field]))
            # The whole row, the run's part included, which the worker's line carries.
            for field in set(kept) | set(last) - {"recorded"}:
                self.assertEqual((field, last.get(field)), (field, kept.get(field)))
            self.assertEqual((last["operator"], last["lot"]), (OPERATOR, LOT))
        run_end = [e for e in said if e.get("event") == "station_end"][-1]
        for field in ("units", "failed"):
            self.assertEqual((field, snapshot["run"][field]), (field, run_end[field]))
            self.assertEqual((field, snapshot["run"][field]), (field, log["summary"][field]))

    def assertGuarded(self, port):
        """Without the token nothing but the login page; with it, read-only."""
        status, headers = request(port, "/")
        self.assertEqual(status, 401)
        self.assertIn("script-src 'self'", headers["Content-Security-Policy"])
        self.assertNotIn("unsafe", headers["Content-Security-Policy"])
        self.assertEqual(headers["X-Content-Type-Options"], "nosniff")
        for path in ("/events", "/station.js", "/chart.js"):
            self.assertEqual(request(port, path)[0], 401, path)
        self.assertEqual(request(port, "/", headers={"Cookie": "tarvolo_session=wrong-session-000000"})[0], 401)
        cookie = {"Authorization": "Bearer " + TOKEN}
        self.assertEqual(request(port, "/", headers=cookie)[0], 200)
        self.assertEqual(request(port, "/", method="POST", headers=cookie)[0], 405)
        self.assertEqual(request(port, "/events", method="DELETE", headers=cookie)[0], 405)

    def test_live_page_in_chromium(self):
        node = os.environ.get("TARVOLO_NODE", "")
        self.assertTrue(os.path.isdir(os.path.join(node, "node_modules", "puppeteer-core")),
                        "no puppeteer-core in %r: run scripts/install-puppeteer.sh" % node)
        # Any address but 127.0.0.1 wants a token: refused before any port is touched.
        refused = subprocess.run([os.path.join(bin_dir(), "tarvolo"), "station", "--ports", "/dev/null",
                                  "--http", "%s:%d" % (HOST, free_port()), self.path("none.rel")],
                                 capture_output=True, text=True, timeout=30)
        self.assertEqual(refused.returncode, 64)
        self.assertIn("needs --http-token-file", refused.stderr)
        handsets = self.handsets(4, "--product-id", PRODUCT, "--write-ms", 40, units=2,
                                 per_port=[[], [], ["--unit-faults", "2:completion-refusals"], []])
        release, _ = self.release([data_block(BS, n) for n in range(24)], product_id=PRODUCT)
        port = free_port()
        station = self.start_station(release, handsets, port)
        self.assertGuarded(port)

        shot_dir = os.environ.get("TARVOLO_SCREENSHOTS", os.path.join(bin_dir(), "..", "screenshots"))
        os.makedirs(shot_dir, exist_ok=True)
        check = subprocess.run(
            ["node", os.path.join(HERE, "station_page_check.cjs"),
             json.dumps({"url": "http://%s:%d/" % (HOST, port), "token": TOKEN, "units": 8,
                         "screenshot": os.path.join(shot_dir, "station-page.png")})],
            capture_output=True, text=True, timeout=180)
        seen = json.loads(check.stdout.strip().splitlines()[-1]) if check.stdout.strip() else {}
        self.assertNotIn("error", seen, check.stderr + self.station_said())

        # Counts as `tarvolo log` has them.
        log = subprocess.run([os.path.join(bin_dir(), "tarvolo"), "log", "--json", "--db", self.path("record.db")],
                             capture_output=True, text=True, timeout=30)
        summary = json.loads(log.stdout)["summary"]
        failed_unit = [u for u in json.loads(log.stdout)["units"] if u["outcome"] != "completed"]
        snapshot = page_snapshot(port)
        station.send_signal(signal.SIGINT)
        station.wait(30)
        self.assertSameFacts(snapshot, json.loads(log.stdout))

        self.assertEqual(seen["firstStatus"], 401)  # the login page, once
        self.assertEqual(seen["cookie"], {"httpOnly": True, "sameSite": "Strict", "theToken": False, "hours": 12})
        self.assertEqual(seen["tiles"], 4)
        self.assertTrue(seen["progressMoved"])
        self.assertEqual((summary["units"], summary["failed"]), (8, 1))
        self.assertEqual(seen["run"]["done"], str(summary["units"]))
        self.assertEqual(seen["run"]["failed"], str(summary["failed"]))
        self.assertEqual(seen["run"]["pass-rate"], "%.1f %%" % (summary["pass_rate"] * 100))
        red = [t for t in seen["tileTexts"] if t["look"] == "failed"]
        self.assertEqual(len(red), 1, seen["tileTexts"])
        self.assertEqual(red[0]["selector"], handsets[2].link)
        self.assertEqual(red[0]["headline"], "failed: " + failed_unit[0]["result_meaning"])
        self.assertEqual(seen["pageErrors"], [])  # before the probe below, which the policy refuses
        self.assertEqual(seen["charted"], {"rate": 8, "durations": 8, "portFailures": 1, "resultFailures": 1})

        # Outside text is text: shown whole, control characters as \xNN, never run.
        self.assertEqual(seen["run"]["operator"], shown(OPERATOR))
        self.assertEqual(seen["run"]["lot"], shown(LOT))
        self.assertEqual(seen["run"]["station-id"], shown(STATION_ID))
        self.assertTrue(all('<"\\x1B>' in t["last"] for t in seen["tileTexts"]), seen["tileTexts"])
        self.assertEqual(seen["scripts"], ["/chart.js", "/page.js", "/station.js"])
        self.assertIsNone(seen["pwnedBefore"])
        self.assertIsNone(seen["pwned"])  # not even a script element added by hand
        self.assertTrue(any(v.startswith("script-src") for v in seen["violations"]), seen["violations"])

    def test_a_page_without_token_answers_only_to_this_machines_names(self):
        handsets = self.handsets(1, units=1, stay=30000)
        release, _ = self.release([data_block(BS, n) for n in range(4)])
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        station = subprocess.Popen([os.path.join(bin_dir(), "tarvolo"), "station", "--json", "--ports", handsets[0].link,
                                    "--log", self.path("record.db"), "--http", "127.0.0.1:%d" % port, release],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (station.kill(), station.wait()))

        def status(host):
            for _ in range(100):
                try:
                    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
                    connection.putrequest("GET", "/", skip_host=True)
                    connection.putheader("Host", host)
                    connection.endheaders()
                    answer = connection.getresponse()
                    connection.close()
                    return answer.status
                except ConnectionRefusedError:
                    time.sleep(0.1)
            self.fail("the station's page did not come up")
        # Its own address, localhost and the machine's name, with the port or without; a name that
        # only starts like the address, another loopback address, or a port that is not its own: 403.
        own = ["127.0.0.1:%d" % port, "127.0.0.1", "LOCALHOST:%d" % port, socket.gethostname()]
        foreign = ["127.0.0.1.evil.example", "127.0.0.1.evil.example:%d" % port, "127.0.0.2:%d" % port,
                   "127.0.0.1:%d" % (port + 1), "evil.example"]
        self.assertEqual([(h, status(h)) for h in own], [(h, 200) for h in own])
        self.assertEqual([(h, status(h)) for h in foreign], [(h, 403) for h in foreign])


if __name__ == "__main__":
    import unittest
    unittest.main()
