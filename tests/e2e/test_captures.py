"""Captures of the line: `tarvolo download --capture` against the virtual handset, completed and
with each failure it can inject, read back by tshark with our Lua dissector and by `tarvolo
trace show`; the frames they list are the ones the engine sent and received."""
import json
import os
import shutil
import subprocess
import unittest

from e2e_case import E2ECase, byte_sum, data_block
from harness import bin_dir

HERE = os.path.dirname(os.path.abspath(__file__))
DISSECTOR = os.path.join(HERE, "..", "..", "capture", "wireshark", "tarvolo.lua")
BS = 256
BLOCKS = 4

# name: (handset options, download options, exit code)
SCENARIOS = {
    "completed": ((), (), 0),
    "checksum_refused": (("--completion-refusals", "all"), (), 6),
    "product_mismatch": (("--product-id", "XY99"), (), 4),
    "dropped_answer": (("--drop-acks", "1@2"), ("--mode", "normal"), 0),
    "noise": (("--noise", "1@3", "--blank", "0x00"), (), 0),
}


def tarvolo(*args):
    return subprocess.run([os.path.join(bin_dir(), "tarvolo")] + [str(a) for a in args],
                          capture_output=True, text=True, timeout=60)


def shown_frames(capture):
    """`tarvolo trace show --json`: (packet, frame name, fields) for each frame."""
    run = tarvolo("trace", "show", "--json", capture)
    assert run.returncode == 0, run.stderr
    frames = []
    for line in run.stdout.splitlines():
        item = json.loads(line)
        if "frame" in item:
            frames.append(item)
    return frames


def tshark_frames(capture):
    """tshark with the dissector: per packet, its frames' names (in order) and unparsed marks."""
    run = subprocess.run(["tshark", "-X", "lua_script:" + DISSECTOR, "-r", capture, "-T", "fields",
                          "-E", "occurrence=a", "-E", "aggregator=|", "-e", "frame.number",
                          "-e", "tarvolo.frame", "-e", "tarvolo.block", "-e", "tarvolo.checksum",
                          "-e", "tarvolo.product", "-e", "_ws.expert.message"],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert "Lua" not in run.stderr, run.stderr  # a script error shows there
    rows = []
    for line in run.stdout.splitlines():
        number, names, blocks, sums, product, expert = (line.split("\t") + [""] * 6)[:6]
        rows.append({"packet": int(number), "names": [n for n in names.split("|") if n],
                     "blocks": [int(b) for b in blocks.split("|") if b],
                     "sums": [int(s, 16) for s in sums.split("|") if s],
                     "product": product, "unparsed": "do not parse" in expert})
    return rows


def capture_download(case, name):
    """Runs the scenario with --capture and --trace; returns (run, capture, trace, image)."""
    handset_args, download_args, code = SCENARIOS[name]
    release, image = case.release([data_block(BS, n) for n in range(BLOCKS)])
    h = case.handset("--block-size", BS, *handset_args, image_blocks=BLOCKS)
    capture, trace = case.path(name + ".pcapng"), case.path(name + ".trace")
    run = case.download(release, h.link, "--capture", capture, "--trace", trace, *download_args)
    case.assertEqual(run.code, code, run.stdout + run.stderr)
    case.assertHandsetClean(h)
    return run, capture, trace, image, h


@unittest.skipUnless(shutil.which("tshark"), "tshark is not installed")
class Dissected(E2ECase):
    def check(self, name):
        run, capture, trace, image, h = capture_download(self, name)
        shown = shown_frames(capture)
        rows = tshark_frames(capture)
        # tshark and trace show list the same frames in the same packets.
        by_packet = {}
        for f in shown:
            if "incomplete" not in f:  # only trace show lists what the capture's end cut short
                by_packet.setdefault(f["packet"], []).append(f["frame"])
        self.assertEqual({r["packet"]: r["names"] for r in rows if r["names"]},
                         by_packet)
        # What the engine sent and the handset answered.
        record = [f for f in shown if f["frame"] == "Parameter record"][0]
        self.assertEqual(record["product"], "XY99" if name == "product_mismatch" else "KM52")
        self.assertEqual(record["block size"], str(BS))
        sent = [f for f in shown if f["frame"] == "Block"]
        frames = h.report()["frames"]
        self.assertEqual(len(sent), frames.get("write", 0))
        if run.code == 0 or name == "checksum_refused":
            self.assertEqual(sorted({int(f["block"]) for f in sent}), list(range(BLOCKS)))
            self.assertEqual([f["checksum"] for f in shown if f["frame"] == "Checksum"],
                             ["0x%04X" % byte_sum(image)])
            self.assertEqual([b for r in rows if "Block" in r["names"] and r["packet"] in
                              {f["packet"] for f in sent} for b in r["blocks"]], [int(f["block"]) for f in sent])
        if name == "checksum_refused":
            self.assertEqual(shown[-1]["frame"], "Completion refused")
        if name == "product_mismatch":
            self.assertEqual([f["frame"] for f in shown][-2:], ["Abort", "Aborted"])
        if name == "dropped_answer":
            self.assertEqual([int(f["block"]) for f in sent], [0, 1, 1, 2, 3])
        if name == "noise":
            self.assertEqual(sent[0]["encoding"], "run-length")
            self.assertTrue(any(f["unparsed"] and f["direction"] == "handset" for f in shown))
            self.assertTrue(any(r["unparsed"] for r in rows))
        else:
            self.assertFalse(any(f["unparsed"] for f in shown), shown)
        # The text trace of the same download, converted, lists the same frames.
        converted = self.path(name + "-converted.pcapng")
        result = tarvolo("trace", "convert", trace, converted)
        self.assertEqual(result.returncode, 0, result.stderr)
        strip = lambda frames: [(f["direction"], f["frame"], f.get("block"), f.get("checksum")) for f in frames]
        self.assertEqual(strip(shown_frames(converted)), strip(shown))

    def test_completed(self):
        self.check("completed")

    def test_checksum_refused(self):
        self.check("checksum_refused")

    def test_product_mismatch_and_abort(self):
        self.check("product_mismatch")

    def test_dropped_answer(self):
        self.check("dropped_answer")

    def test_noise_and_run_length(self):
        self.check("noise")


def replay(case, capture, release, *download_args):
    """Replays `capture` into `tarvolo download`; returns (download run, replay exit, replay stderr)."""
    link = case.path("ttyREPLAY")
    err_path = case.path("replay.err")
    with open(err_path, "w") as err:
        proc = subprocess.Popen([os.path.join(bin_dir(), "tarvolo-handset"), "--replay", capture,
                                 "--link", link, "--linger-ms", "15000"],
                                stdout=subprocess.PIPE, stderr=err, stdin=subprocess.DEVNULL, text=True)
        try:
            case.assertTrue(proc.stdout.readline().strip())
            run = case.download(release, link, *download_args)
            code = proc.wait(30)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            proc.stdout.close()
    with open(err_path) as f:
        errors = f.read()
    case.assertClean(errors, "tarvolo-handset --replay")
    return run, code, errors


class Replayed(E2ECase):
    """A capture of each failure, replayed into today's download, ends the same way; a host that
    sends something else is told where it first differs."""

    def test_each_failure_replays_to_its_result(self):
        for name in ("checksum_refused", "product_mismatch", "dropped_answer"):
            with self.subTest(name):
                first, capture, _, _, _ = capture_download(self, name)
                release = self.path("image.rel")
                again, code, errors = replay(self, capture, release, *SCENARIOS[name][1])
                self.assertEqual(again.code, first.code, again.stdout + errors)
                self.assertEqual(code, 0, errors)
                self.assertIn("the host sent what the capture holds", errors)

    def test_changed_host_is_told_the_first_differing_byte(self):
        _, capture, _, _, _ = capture_download(self, "completed")
        frames = shown_frames(capture)
        before_block = sum(f["frame_length"] for f in frames[:[f["frame"] for f in frames].index("Block")]
                           if f["direction"] == "host")
        release = self.path("image.rel")
        with open(release, "rb") as f:
            data = bytearray(f.read())
        data[4 + 100] ^= 0x01  # the image's byte 100: block 0's payload byte 100
        changed = self.path("changed.rel")
        with open(changed, "wb") as f:
            f.write(data)
        run, code, errors = replay(self, capture, changed, "--give-up-after", 5)
        self.assertEqual(code, 1, errors)
        self.assertNotEqual(run.code, 0)
        self.assertIn("first differ from the recording at byte %d of its stream" % (before_block + 4 + 100), errors)
        self.assertIn("recorded 0x%02X, the host sent 0x%02X" % (data[104] ^ 1, data[104]), errors)


class StationCaptures(E2ECase):
    """A station keeps the capture of each failed unit, named in its row and shown by `tarvolo
    log`; replayed into `tarvolo download`, each ends with the unit's result code."""

    def test_failed_units_captures_replay_to_their_results(self):
        import sqlite3
        release, _ = self.release([data_block(BS, n) for n in range(BLOCKS)])
        h = self.handset("--block-size", BS, "--units", 4, "--unit-stay-ms", 500, "--unit-gap-ms", 1500,
                         "--unit-faults", "1:completion-refusals", "--unit-faults", "3:product-id=XY99",
                         "--unit-faults", "4:drop-acks=1@2", image_blocks=BLOCKS)
        record = self.path("record.db")
        station = subprocess.run([os.path.join(bin_dir(), "tarvolo"), "station", "--json", "--ports", h.link,
                                  "--units", "4", "--rearm-silence", "1", "--log", record, release],
                                 capture_output=True, text=True, timeout=180, cwd=self.work)
        self.assertEqual(station.returncode, 20, station.stderr)
        self.assertHandsetClean(h)
        db = sqlite3.connect(record)
        rows = db.execute("SELECT sequence, outcome, result_code, capture, attempt_uuid FROM units "
                          "ORDER BY sequence").fetchall()
        db.close()
        self.assertEqual([(r[1], r[2]) for r in rows],
                         [("failed", 6), ("completed", 0), ("failed", 4), ("completed", 0)])
        self.assertEqual([bool(r[3]) for r in rows], [True, False, True, False])
        self.assertEqual(sorted(os.listdir(self.path("captures"))),
                         sorted("%s.pcapng" % r[4] for r in rows if r[3]))
        log = tarvolo("log", "--db", record, "--failed")
        self.assertEqual(log.returncode, 0, log.stderr)
        for r in rows:
            if r[3]:
                self.assertIn(r[3], log.stdout)
        for _, _, code, capture, _ in rows:
            if capture:
                run, replayed, errors = replay(self, self.path(capture), release)
                self.assertEqual(run.code, code, run.stdout + errors)
                self.assertEqual(replayed, 0, errors)
        self.check_page_serves(release, record, rows[0][4])

    def check_page_serves(self, release, record, uuid):
        """The station's page saves a kept capture by its id, and nothing but such a file."""
        import http.client
        import socket
        import time
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        quiet = self.handset("--silent", "inquiry")
        station = subprocess.Popen([os.path.join(bin_dir(), "tarvolo"), "station", "--ports", quiet.link,
                                    "--log", record, "--http", "127.0.0.1:%d" % port, release],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, cwd=self.work)
        self.addCleanup(lambda: (station.poll() is None and station.kill(), station.wait(), station.stderr.close()))

        def get(path):
            for _ in range(100):
                try:
                    c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
                    c.request("GET", path)
                    r = c.getresponse()
                    return r.status, r.getheader("Content-Disposition"), r.read()
                except ConnectionRefusedError:
                    time.sleep(0.1)
            self.fail("the station's page never answered")
        status, disposition, body = get("/capture?id=" + uuid)
        self.assertEqual(status, 200)
        self.assertEqual(disposition, 'attachment; filename="%s.pcapng"' % uuid)
        with open(self.path("captures/%s.pcapng" % uuid), "rb") as f:
            self.assertEqual(body, f.read())
        self.assertEqual(get("/capture?id=../record.db")[0], 400)
        self.assertEqual(get("/capture?id=" + uuid[:-1] + ("0" if uuid[-1] != "0" else "1"))[0], 404)


class CaptureRefused(E2ECase):
    def test_unwritable_capture_leaves_nothing(self):
        release, _ = self.release([data_block(BS, 0)])
        h = self.handset("--block-size", BS)
        capture = self.path("missing-folder/c.pcapng")
        run = self.download(release, h.link, "--capture", capture)
        self.assertEqual(run.code, 64, run.stdout + run.stderr)
        self.assertIn("cannot write the capture", run.stderr)
        self.assertEqual(os.listdir(self.work).count("missing-folder"), 0)
        # A trace that is not one is refused with its line, and leaves no capture.
        with open(self.path("bad.trace"), "w") as f:
            f.write("# seconds dir speed bytes (hex)\n  0.000100 TX  19200 3C 69\n  0.2 TX 19200 3C ZZ\n")
        result = tarvolo("trace", "convert", self.path("bad.trace"), self.path("bad.pcapng"))
        self.assertEqual(result.returncode, 64)
        self.assertIn("line 3", result.stderr)
        self.assertFalse([n for n in os.listdir(self.work) if n.startswith("bad.pcapng")])
        result = tarvolo("trace", "show", self.path("bad.trace"))
        self.assertEqual(result.returncode, 64)
        self.assertIn("not a pcapng file", result.stderr)


if __name__ == "__main__":
    unittest.main()
