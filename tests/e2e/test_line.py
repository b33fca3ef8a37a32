"""The line: every allowed speed, the defaults from the settings file in the current
directory, and the trace of every byte."""
import os
import struct
import subprocess
import unittest

from e2e_case import ERASING, E2ECase, byte_sum, data_block
from harness import bin_dir

BS = 256


def settings_file(path, gang=0, speed=115200, port_digit=b"1", mode=0, product_id=b"KM52"):
    """The 542-byte settings record: gang, speed, port digit, filter index, two paths, the
    product identifier, the download mode; little-endian, no padding."""
    record = struct.pack("<iIci260s260s5si", gang, speed, port_digit, 1, b"", b"",
                         product_id + b"\0", mode)
    assert len(record) == 542
    with open(path, "wb") as f:
        f.write(record)


class Speeds(E2ECase):
    def test_every_allowed_speed(self):
        blocks = [data_block(BS, n) for n in range(2)]
        for speed in (19200, 38400, 57600, 115200):
            with self.subTest(speed=speed):
                release, image = self.release(blocks, name="image%d.rel" % speed)
                h = self.handset("--block-size", BS, image_blocks=2)
                run = self.download(release, h.link, "--speed", speed, "--mode", "normal")
                self.assertCompleted(run, h, image, byte_sum(image))
                report = h.report()
                self.assertEqual(report["downloads"][0]["speed"], speed)
                self.assertTrue(all(s["answered"] for s in report["speedSwitches"]))


class SettingsFile(E2ECase):
    def test_settings_in_the_current_directory_are_the_defaults(self):
        settings_file(self.path("Tarvolo.cfg"), speed=38400, port_digit=b"3", mode=1)
        release, image = self.release([data_block(BS, n) for n in range(2)])

        # Speed and mode from the file, the port from the command line.
        h = self.handset("--block-size", BS, image_blocks=2)
        run = self.download(release, h.link, cwd=self.work)
        self.assertCompleted(run, h, image, byte_sum(image))
        self.assertNotIn(ERASING, run.texts())
        self.assertEqual(h.report()["downloads"][0]["speed"], 38400)
        self.assertEqual(h.report()["frames"].get("erase", 0), 0)

        # The options override the file.
        h2 = self.handset("--block-size", BS, image_blocks=2)
        run = self.download(release, h2.link, "--speed", 115200, "--mode", "erase", cwd=self.work)
        self.assertCompleted(run, h2, image, byte_sum(image))
        self.assertEqual(h2.report()["downloads"][0]["speed"], 115200)
        self.assertIn(ERASING, run.texts())

        # The port from the file: COM3, which this machine does not have.
        proc = subprocess.run([os.path.join(bin_dir(), "tarvolo"), "download", release],
                              cwd=self.work, capture_output=True, text=True, timeout=30,
                              stdin=subprocess.DEVNULL)
        self.assertClean(proc.stderr, "tarvolo")
        self.assertEqual(proc.returncode, 10, proc.stderr)
        self.assertIn("COM3", proc.stderr)


class Trace(E2ECase):
    def test_trace_has_every_frame_with_time_and_speed(self):
        release, image = self.release([data_block(BS, n) for n in range(2)])
        h = self.handset("--block-size", BS, image_blocks=2)
        trace = self.path("line.trace")
        run = self.download(release, h.link, "--speed", 57600, "--trace", trace)
        self.assertCompleted(run, h, image, byte_sum(image))
        with open(trace) as f:
            rows = [line.split() for line in f if " TX " in line or " RX " in line]
        sent = [r for r in rows if r[1] == "TX"]
        # time, direction, speed, bytes in hexadecimal
        self.assertEqual(sent[0][2:], ["19200", "3C", "69"])
        self.assertIn(["19200", "3C", "70", "31", "FF"], [r[2:] for r in sent])
        writes = [r for r in sent if r[3:5] == ["3C", "77"]]
        self.assertEqual(len(writes), 2)
        self.assertTrue(all(r[2] == "57600" and len(r) == 3 + 4 + BS for r in writes))
        received = b"".join(bytes(int(x, 16) for x in r[3:]) for r in rows if r[1] == "RX")
        self.assertIn(b">e", received)
        self.assertIn(b">c", received)


if __name__ == "__main__":
    unittest.main()
