"""Inputs a download must not be fooled by, met as a user meets them: release files that are
not files, a settings file with a speed the line cannot take, gang mode with no operator at
the keyboard, a trace on a full disk, and an abort whose reason result 4 alone would hide."""
import os
import struct
import subprocess
import unittest

from e2e_case import ABORT_ANSWERED, E2ECase, data_block
from harness import bin_dir

BS = 256


def settings_file(path, speed):
    """A Tarvolo.cfg: gang off, the speed, COM1, filter 1, no paths, KM52, erase mode."""
    record = bytearray(542)
    struct.pack_into("<iI", record, 0, 0, speed)
    record[8] = ord("1")
    struct.pack_into("<i", record, 9, 1)
    record[533:537] = b"KM52"
    with open(path, "wb") as f:
        f.write(bytes(record))


class ReleaseFilesThatAreNotFiles(E2ECase):
    def test_each_is_refused_before_the_port_is_opened(self):
        fifo = self.path("release.fifo")
        os.mkfifo(fifo)
        files = {}
        for name, content in (("empty.rel", b""), ("three.rel", b"KM5"), ("id-only.rel", b"KM52")):
            files[name] = self.path(name)
            with open(files[name], "wb") as f:
                f.write(content)
        expected = [
            (fifo, "cannot open the release file %s: not a file" % fifo),
            (self.work, "cannot open the release file %s: not a file" % self.work),
            ("/dev/zero", "cannot open the release file /dev/zero: not a file"),
            (files["empty.rel"], files["empty.rel"] + " holds 0 bytes: a release file begins "
                                 "with a 4-byte product identifier"),
            (files["three.rel"], files["three.rel"] + " holds 3 bytes: a release file begins "
                                 "with a 4-byte product identifier"),
            (files["id-only.rel"], files["id-only.rel"] + " holds a product identifier but no image"),
        ]
        h = self.handset()
        for path, message in expected:
            run = self.download(path, h.link, timeout=20)
            self.assertEqual((run.code, run.events), (1, []), path)
            self.assertEqual(run.stderr, "tarvolo: %s\n" % message)
        # `tarvolo info` does not hang in the FIFO's open either.
        info = subprocess.run([os.path.join(bin_dir(), "tarvolo"), "info", fifo], timeout=20,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True)
        self.assertEqual((info.returncode, info.stderr),
                         (1, "tarvolo info: cannot open the release file %s: not a file\n" % fifo))
        self.assertHandsetClean(h)
        self.assertEqual(h.report()["frames"], {})


class SettingsAndOperator(E2ECase):
    def test_a_settings_speed_the_line_cannot_take_is_named(self):
        release, image = self.release([data_block(BS, 1)])
        h = self.handset("--block-size", BS)
        for speed in (12345, 0):
            settings_file(self.path("Tarvolo.cfg"), speed)
            run = self.download(release, h.link, cwd=self.work, timeout=20)
            self.assertEqual((run.code, run.events), (64, []))
            self.assertEqual(run.stderr,
                             "tarvolo: Tarvolo.cfg: the speed field holds %d, not a line speed this "
                             "program can use (19200, 38400, 57600 or 115200); correct the file or "
                             "give --speed\n" % speed)
        # The option overrides the file's field, and then the download goes.
        run = self.download(release, h.link, "--speed", 57600, cwd=self.work)
        self.assertEqual(run.code, 0, run.stdout + run.stderr)
        self.assertHandsetClean(h)
        self.assertEqual(h.report()["speeds"], [19200, 57600])

    def test_gang_mode_with_no_operator_ends_with_a_message(self):
        release, _ = self.release([data_block(BS, 2)])
        h = self.handset("--block-size", BS)
        run = self.download(release, h.link, "--gang", timeout=30)  # standard input: /dev/null
        self.assertEqual(run.code, 64, run.stdout + run.stderr)
        exit_event = run.events[-1]
        self.assertEqual(exit_event["summary"],
                         "Standard input has ended: nobody can press Enter to continue the gang "
                         "download (use --continue to go on as soon as CH1 answers); nothing was "
                         "written")
        self.assertHandsetClean(h)
        self.assertEqual(h.report()["frames"].get("erase", 0), 0)

    def test_a_trace_on_a_full_disk_is_reported_incomplete(self):
        release, image = self.release([data_block(BS, 3)])
        h = self.handset("--block-size", BS)
        run = self.download(release, h.link, "--trace", "/dev/full")
        self.assertEqual(run.code, 0, run.stdout + run.stderr)
        incomplete = [e for e in run.events if e.get("event") == "trace_incomplete"]
        self.assertEqual([e["trace"] for e in incomplete], ["/dev/full"])
        self.assertIn("is incomplete", incomplete[0]["text"])
        # Without the fault no such line.
        run = self.download(release, h.link, "--trace", self.path("trace.txt"))
        self.assertEqual(run.code, 0, run.stdout + run.stderr)
        self.assertEqual([e for e in run.events if e.get("event") == "trace_incomplete"], [])


class AbortReason(E2ECase):
    def test_result_4_carries_the_reason_the_abort_was_started_with(self):
        release, _ = self.release([data_block(BS, 4)])
        h = self.handset("--block-size", BS, "--product-id", "XY99")
        run = self.download(release, h.link)
        self.assertEnded(run, 4, advice=ABORT_ANSWERED)
        reasons = [e for e in run.events if e.get("event") == "abort_reason"]
        self.assertEqual([(e["reason"], e["meaning"]) for e in reasons],
                         [(2, "product identifier mismatch, or the handset needs "
                              "erase-and-download mode")])
        self.assertHandsetClean(h)
        # Plain output: the reason stands beside the result.
        h = self.handset("--block-size", BS, "--product-id", "XY99")
        plain = subprocess.run([os.path.join(bin_dir(), "tarvolo"), "download", "--port", h.link,
                                release], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                               timeout=60)
        self.assertEqual(plain.returncode, 4, plain.stdout + plain.stderr)
        self.assertEqual(plain.stdout.splitlines()[-2:],
                         ["Abort started because: product identifier mismatch, or the handset "
                          "needs erase-and-download mode (result 2)",
                          "Download ended: the handset acknowledged the abort (result 4)"])

if __name__ == "__main__":
    unittest.main()
