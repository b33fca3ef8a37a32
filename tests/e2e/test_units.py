"""A stream of units on one pty (`tarvolo-handset --units`), driven by real downloads: one unit
after another with one refusing its completion, a finished unit that still answers inquiries
(and is flashed twice by a host that does not wait for it to go) until it goes silent, and a
unit that takes the port away with it."""
import os
import select
import termios
import time
import tty
import unittest

from e2e_case import E2ECase, byte_sum, data_block, host_violations

BS = 256
BLOCKS = 3


class Inquirer:
    """A host opened by hand at 19200 that only inquires."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        attributes = termios.tcgetattr(self.fd)
        attributes[4] = attributes[5] = termios.B19200
        termios.tcsetattr(self.fd, termios.TCSANOW, attributes)

    def answered(self, wait=0.3):
        os.write(self.fd, b"<i")
        got = b""
        deadline = time.monotonic() + wait
        while len(got) < 2 and select.select([self.fd], [], [], max(0, deadline - time.monotonic()))[0]:
            got += os.read(self.fd, 2 - len(got))
        return got == b">i"

    def close(self):
        if self.fd >= 0:
            os.close(self.fd)
        self.fd = -1


class UnitStream(E2ECase):
    def stream(self, units, *args):
        release, image = self.release([data_block(BS, n) for n in range(BLOCKS)])
        h = self.handset("--block-size", BS, "--units", units, *args, image_blocks=BLOCKS)
        return release, image, h

    def flash_of(self, unit):
        with open(unit["flashOut"], "rb") as f:
            return f.read()

    def assertStreamEnded(self, h):
        """The handset ends by itself after its last unit, cleanly."""
        h.proc.wait(20)
        self.assertHandsetClean(h)
        report = h.report()
        self.assertEqual(host_violations(report), [])
        return report["units"]

    def test_units_one_after_another_one_refusing_its_completion(self):
        release, image, h = self.stream(3, "--unit-faults", "2:completion-refusals",
                                        "--unit-stay-ms", 300, "--unit-gap-ms", 300)
        codes = []
        for unit in (1, 2, 3):
            codes.append(self.download(release, h.link).code)
            # As a station re-arms: not before the finished unit has gone.
            self.assertTrue(h.wait_for("unit %d of 3 detached" % unit), h.errors())
        self.assertEqual(codes, [0, 6, 0])
        units = self.assertStreamEnded(h)
        self.assertEqual([u["result"] for u in units], ["completed", "refused", "completed"])
        for n, unit in enumerate(units, 1):
            self.assertEqual(unit["flashOut"], "%s.%d" % (h.flash, n))
            self.assertEqual(self.flash_of(unit), image)
            self.assertEqual((unit["unit"], unit["downloadsStarted"], unit["flashedTwice"]), (n, 1, False))
            self.assertEqual(unit["checksum"], "%04X" % byte_sum(image))
            self.assertLess(unit["attachedMs"], unit["detachedMs"])
        self.assertEqual([u["faults"] for u in units], [{}, {"completionRefusals": 1}, {}])
        self.assertEqual(units[1]["settings"], ["completion-refusals"])
        self.assertEqual(len(h.report()["downloads"]), 3)

    def test_a_finished_unit_answers_until_it_is_taken_away(self):
        # --unit-max-ms bounds unit 1's first download too, and the stay its second: both leave
        # room for a fresh process on a loaded machine.
        release, image, h = self.stream(2, "--unit-stay-ms", 5000, "--unit-max-ms", 3000)
        self.assertEqual(self.download(release, h.link).code, 0)
        # Still on the cable: a host that does not wait for silence flashes it once more.
        self.assertEqual(self.download(release, h.link).code, 0)
        ended = time.monotonic()
        host = Inquirer(h.link)
        self.addCleanup(host.close)
        self.assertTrue(host.answered())
        while host.answered():
            self.assertLess(time.monotonic() - ended, 15, "the finished unit never went")
        self.assertGreater(time.monotonic() - ended, 1.0, "it left before its stay was over")
        self.assertFalse(any(host.answered() for _ in range(3)), "no silence between the units")
        # Unit 2 gets no download and goes after --unit-max-ms.
        self.assertTrue(h.wait_for("unit 2 of 2 detached"), h.errors())
        host.close()
        units = self.assertStreamEnded(h)
        self.assertEqual([(u["result"], u["downloadsStarted"], u["flashedTwice"]) for u in units],
                         [("completed", 2, True), ("never started", 0, False)])
        self.assertEqual(self.flash_of(units[0]), image)

    def test_a_unit_that_takes_the_port_away(self):
        release, image, h = self.stream(2, "--unit-faults", "1:vanish-after-blocks=2", "--replug-ms", 500,
                                        "--unit-gap-ms", 300, "--unit-stay-ms", 300)
        run = self.download(release, h.link)
        self.assertEqual(run.code, 12, run.stdout + run.stderr)
        self.assertTrue(h.wait_for("the port is back"), h.errors())
        self.assertEqual(self.download(release, h.link).code, 0)
        units = self.assertStreamEnded(h)
        self.assertEqual([u["result"] for u in units], ["vanished", "completed"])
        self.assertEqual(self.flash_of(units[0]), image[:2 * BS] + b"\xff" * BS)
        self.assertEqual(self.flash_of(units[1]), image)


if __name__ == "__main__":
    unittest.main()
