"""The phase on every --json event: the phases each kind of download goes through, in order,
and the phase it ends in, however it ends."""
import json
import queue
import signal
import time
import unittest

from e2e_case import E2ECase, data_block

BS = 256


def phase_changes(events):
    return [e["phase"] for e in events if e.get("event") == "phase"]


class Phases(E2ECase):
    def assertPhases(self, events, expected):
        self.assertEqual(phase_changes(events), expected)
        for e in events:
            self.assertIn(e.get("phase"), expected, e)
        # The texts of a phase carry it.
        for e in events:
            text = e.get("text", "")
            if "Erasing flash" in text:
                self.assertEqual(e["phase"], "erasing", e)
            if "Writing block" in text:
                self.assertEqual(e["phase"], "writing", e)
            if "Checksumming" in text:
                self.assertEqual(e["phase"], "checksumming", e)
        self.assertEqual(events[-1]["event"], "exit")
        self.assertEqual(events[-1]["phase"], "ended")

    def test_completed_downloads(self):
        release, _ = self.release([data_block(BS, n) for n in range(3)])
        cases = [
            ([], [], ["waiting", "exchanging", "erasing", "writing", "checksumming", "ended"]),
            ([], ["--mode", "normal"], ["waiting", "exchanging", "writing", "checksumming", "ended"]),
            # (gang mode in normal mode: after an erase it would hold 80 s for the others)
            ([], ["--gang", "--continue", "--mode", "normal"],
             ["waiting", "gang_ready", "exchanging", "writing", "checksumming", "ended"]),
        ]
        for handset_args, args, expected in cases:
            with self.subTest(args=args):
                h = self.handset("--block-size", BS, "--erase-ms", 50, *handset_args)
                run = self.download(release, h.link, "--speed", 115200, *args)
                self.assertEqual(run.code, 0, run.stdout + run.stderr)
                self.assertPhases(run.events, expected)
                h.stop()

    def test_downloads_that_end_in_the_handshakes(self):
        release, _ = self.release([data_block(BS, n) for n in range(3)])
        cases = [
            (["--product-id", "KM99"], 4, ["waiting", "exchanging", "aborting", "ended"]),
            (["--wrong-checksum", "all"], 4,
             ["waiting", "exchanging", "erasing", "writing", "checksumming", "aborting", "ended"]),
            (["--completion-refusals", "all"], 6,
             ["waiting", "exchanging", "erasing", "writing", "checksumming", "ended"]),
        ]
        for handset_args, code, expected in cases:
            with self.subTest(handset=handset_args):
                h = self.handset("--block-size", BS, "--erase-ms", 50, *handset_args)
                run = self.download(release, h.link)
                self.assertEqual(run.code, code, run.stdout + run.stderr)
                self.assertPhases(run.events, expected)
                h.stop()

    def test_downloads_stopped_from_outside(self):
        release, _ = self.release([data_block(BS, n) for n in range(3)])
        # No handset answers: the download gives up while waiting.
        h = self.handset("--silent", "inquiry")
        run = self.download(release, h.link, "--give-up-after", 1)
        self.assertEqual(run.code, 11)
        self.assertPhases(run.events, ["waiting", "ended"])
        h.stop()

        # Ctrl-C while writing, and the port going away while writing.
        for stop in ("interrupt", "unplug"):
            with self.subTest(stop=stop):
                h = self.handset("--block-size", BS, "--silent", "block")
                proc, lines = self.start_download(release, h.link, "--mode", "normal")
                events = self.wait_for_text(lines, "Writing block # 1 of 3")
                if stop == "interrupt":
                    proc.send_signal(signal.SIGINT)
                else:
                    h.proc.kill()
                    h.proc.wait()
                self.assertEqual(proc.wait(10), 130 if stop == "interrupt" else 12)
                deadline = time.monotonic() + 5
                while time.monotonic() < deadline:
                    try:
                        line = lines.get(timeout=0.5)
                    except queue.Empty:
                        break
                    if line.startswith("{"):
                        events.append(json.loads(line))
                self.assertPhases(events, ["waiting", "exchanging", "writing", "ended"])
                h.stop()


if __name__ == "__main__":
    unittest.main()
