"""Ctrl-C and SIGTERM at every phase of `tarvolo download`: the tool sends nothing more, ends
with 130 at once, and the next download on the same port, right after, completes.

  test_interrupts.py [SIGINT|SIGTERM ...]   (default: both)
"""
import os
import signal
import sys
import time
import unittest

from running import Download, harness, image_blocks

BLOCKS = 4

# Per phase: the handset's faults that hold the first download there (and let the second one
# through), the mode, and frames the handset hears from both downloads together: the first
# one's up to the signal, none after it.
PHASES = {
    "waiting": (["--silent", "inquiry=120"], "normal", {"abort": 0}),
    "exchange": (["--silent", "parameter=2"], "normal", {"abort": 0}),
    "erase": (["--erase-ms", 3000], "erase", {"erase": 2, "write": BLOCKS, "abort": 0}),
    "blocks": (["--drop-acks", "1@2"], "normal", {"write": 2 + BLOCKS, "abort": 0}),
    "checksum": (["--silent", "checksum=1"], "normal", {"write": 2 * BLOCKS, "abort": 0}),
    "abort": (["--wrong-checksum", "1", "--unanswered-abort"], "erase",
              {"checksum": 2, "abort": 1}),
}


class Interrupts(unittest.TestCase):
    signals = (signal.SIGINT, signal.SIGTERM)

    def interrupt(self, phase, signum):
        faults, mode, frames = PHASES[phase]
        with harness.WorkDir() as workdir:
            release = os.path.join(workdir, "image.rel")
            image = harness.make_release(release, image_blocks(BLOCKS))
            with harness.Handset(workdir, "--block-size", 256, *faults,
                                 image_blocks=BLOCKS) as handset:
                first = Download(workdir, release, handset.link, "--mode", mode)
                try:
                    self.assertTrue(first.wait_for_phase(phase), first.output())
                    time.sleep(0.3)
                    first.proc.send_signal(signum)
                    code, seconds = first.finish(timeout=10)
                finally:
                    first.kill()
                self.assertEqual(code, 130, first.output() + first.stderr)
                self.assertLess(seconds, 1.5, "slow to end after the signal")
                self.assertIn("Interrupted", first.output())
                self.assertEqual(first.sent_after_note("interrupted"), [],
                                 "bytes sent after the interrupt")

                code, out, err = harness.download(release, handset.link, "--mode", mode,
                                                  timeout=60)
                self.assertEqual(code, 0, out + err)
                handset.stop()
                report = handset.report()
                heard = {kind: report["frames"].get(kind, 0) for kind in frames}
                self.assertEqual(heard, frames, report["frames"])
                self.assertEqual(handset.flash_bytes(), image)
                # The handset takes a frame's speed from the pty when it reads the bytes; on a
                # loaded machine that can be after the host's next switch. Anything else counts.
                others = [v for v in report["violations"] if "bit/s while the handset" not in v["what"]]
                self.assertEqual(others, [])

    def test_every_phase(self):
        for signum in self.signals:
            for phase in PHASES:
                with self.subTest(signal=signal.Signals(signum).name, phase=phase):
                    self.interrupt(phase, signum)


if __name__ == "__main__":
    wanted = [a for a in sys.argv[1:] if a.startswith("SIG")]
    if wanted:
        Interrupts.signals = tuple(getattr(signal, name) for name in wanted)
    unittest.main(argv=[sys.argv[0]] + [a for a in sys.argv[1:] if not a.startswith("SIG")])
