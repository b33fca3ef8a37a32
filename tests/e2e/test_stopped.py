"""Downloads stopped from outside: the operator's Ctrl-C and a port that goes away. Neither
sends anything more to the handset, and both let the port go."""
import signal
import time
import unittest

from e2e_case import E2ECase, data_block

BS = 256


class Stopped(E2ECase):
    def test_interrupt_sends_nothing_and_lets_the_port_go(self):
        release, _ = self.release([data_block(BS, n) for n in range(3)])
        h = self.handset("--block-size", BS, "--silent", "block")
        # Twice: the port is free again at once for the next download.
        for _ in range(2):
            proc, lines = self.start_download(release, h.link, "--mode", "normal")
            self.wait_for_text(lines, "Writing block # 1 of 3")
            proc.send_signal(signal.SIGINT)
            self.assertEqual(proc.wait(10), 130)
            self.assertClean(proc.stderr.read(), "tarvolo")
        self.assertHandsetClean(h)
        report = h.report()
        self.assertEqual(report["frames"].get("abort", 0), 0)
        self.assertEqual(report["restarts"], 1)

    def test_handset_that_goes_away_ends_with_12(self):
        release, _ = self.release([data_block(BS, n) for n in range(3)])
        h = self.handset("--block-size", BS, "--silent", "block")
        proc, lines = self.start_download(release, h.link, "--mode", "normal")
        self.wait_for_text(lines, "Writing block # 1 of 3")
        h.proc.kill()
        h.proc.wait()
        started = time.monotonic()
        self.assertEqual(proc.wait(10), 12)
        self.assertLess(time.monotonic() - started, 5)
        self.assertClean(proc.stderr.read(), "tarvolo")


if __name__ == "__main__":
    unittest.main()
