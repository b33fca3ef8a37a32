"""A port that goes away during a download (the virtual handset killed, its pty closed, as
when a USB adapter is pulled): in every phase `tarvolo download` says so and exits 12 within a
few seconds, without burning a core meanwhile and without crashing."""
import os
import signal
import time
import unittest

from running import Download, harness, image_blocks

BLOCKS = 4

# Per phase: the handset's settings that hold the download there.
PHASES = {
    "waiting": (["--silent", "inquiry"], "normal"),
    "exchange": (["--silent", "parameter"], "normal"),
    "erase": (["--erase-ms", 60000], "erase"),
    "blocks": (["--drop-acks", "1@2"], "normal"),
    "checksum": (["--silent", "checksum"], "normal"),
    "abort": (["--wrong-checksum", "1", "--unanswered-abort"], "erase"),
}

# The reader gives a failing port half a second; the session notices within its next pass.
PROMPT_SECONDS = 3.0
# CPU time the tool may use per second between the loss and its end.
CPU_SHARE = 0.5


class PortLoss(unittest.TestCase):
    def lose_port(self, phase):
        faults, mode = PHASES[phase]
        with harness.WorkDir() as workdir:
            release = os.path.join(workdir, "image.rel")
            harness.make_release(release, image_blocks(BLOCKS))
            with harness.Handset(workdir, "--block-size", 256, *faults,
                                 image_blocks=BLOCKS) as handset:
                download = Download(workdir, release, handset.link, "--mode", mode)
                try:
                    self.assertTrue(download.wait_for_phase(phase), download.output())
                    time.sleep(0.3)
                    cpu_before = download.cpu_seconds()
                    handset.proc.send_signal(signal.SIGKILL)
                    handset.proc.wait()
                    code, seconds = download.finish(timeout=20)
                finally:
                    download.kill()
                self.assertEqual(code, 12, download.output() + download.stderr)
                self.assertLess(seconds, PROMPT_SECONDS)
                used = download.cpu - cpu_before
                self.assertLess(used, CPU_SHARE * seconds + 0.05,
                                "%.2f s CPU in %.2f s after the loss" % (used, seconds))
                self.assertIn("went away", download.output())
                return seconds, used

    def test_every_phase(self):
        for phase in PHASES:
            with self.subTest(phase=phase):
                seconds, used = self.lose_port(phase)
                print("%-9s exit 12 after %.2f s, %.3f s CPU" % (phase, seconds, used))


if __name__ == "__main__":
    unittest.main()
