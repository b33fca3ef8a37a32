"""What every end-to-end test shares: a work folder, a handset, a download run with --json,
and the checks that hold after any run (no sanitizer report from either process, the flash
equal to the image after a completed download).
"""
import json
import os
import queue
import subprocess
import threading
import time
import unittest

from harness import Handset, WorkDir, bin_dir, download, json_events, last_texts, make_release

# Under ThreadSanitizer a report must end the process, so that a race fails the test even
# when the download itself came out right.
if "halt_on_error" not in os.environ.get("TSAN_OPTIONS", ""):
    os.environ["TSAN_OPTIONS"] = (os.environ.get("TSAN_OPTIONS", "") + ":halt_on_error=1").lstrip(":")

SANITIZER_MARKS = ("ThreadSanitizer", "AddressSanitizer", "LeakSanitizer", "runtime error:")

WAITING = "\nWaiting for mobile signal...\r\n"
EXCHANGING = "\r\nExchanging parameters...\r\n"
ERASING = "\nErasing flash. Please wait...\r\n"
CHECKSUMMING = "\nChecksumming. Please wait...\r\n"
ABORT_ANSWERED = "\nAbort response recieved. Download terminated\r\n"
ABORT_UNANSWERED = "\nNo abort response from mobile. Download terminated\r\n"


def completed_text(checksum, gang=False):
    if gang:
        return ("\nDownload completed OK. Checksum %04X\r\nWait for all mobile displays to clear\r\n"
                "and their LEDs to go off before disconnecting them.\r\n" % checksum)
    return ("\nDownload completed OK. Checksum %04X\r\nWait for the mobile's display to clear\r\n"
            "and its LED to go off before disconnecting it.\r\n" % checksum)


def byte_sum(image):
    return sum(image) & 0xFFFF


def crc_x25(image):
    crc = 0xFFFF
    for b in image:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return crc ^ 0xFFFF


def data_block(size, seed):
    """A block with no run and no 0xFF: sent raw or as literals."""
    return bytes((seed * 31 + i * 7) % 251 for i in range(size))


def host_violations(report):
    """What the handset saw the host do wrong, less what a loaded machine makes it see: the
    handset reads the host's line speed when it reads the bytes, so a handset scheduled more
    than the host's 10 ms switch delay late hears a frame "at" a speed the host has already
    left, and a host scheduled more than the handset's 200 ms grace late has "not switched".
    Either way the exchange's retry recovers, and the download's outcome is checked anyway."""
    timing = ("(heard as noise)", "(record not sent)")
    return [v["what"] for v in report["violations"] if not v["what"].endswith(timing)]


class Run:
    """One finished `tarvolo download --json`."""

    def __init__(self, code, stdout, stderr, seconds):
        self.code = code
        self.stdout = stdout
        self.stderr = stderr
        self.seconds = seconds
        self.events = json_events(stdout)
        self.last = last_texts(self.events)

    def texts(self, line=None):
        """The status texts in order, without the empty ones that clear a line."""
        return [e["text"] for e in self.events
                if e.get("event") == "status" and e["text"] != "\r\n" and
                (line is None or e["line"] == line)]

    def results(self):
        return [e["result"] for e in self.events if e.get("event") == "result"]


class E2ECase(unittest.TestCase):
    """A test with its own work folder; handsets started through `handset` end with the test."""

    def setUp(self):
        self._work = WorkDir()
        self.work = self._work.__enter__()
        self.addCleanup(self._work.__exit__, None, None, None)

    def path(self, name):
        return os.path.join(self.work, name)

    def release(self, blocks, tail=b"", product_id=b"KM52", name="image.rel"):
        """Writes a release file; returns (path, the image's whole blocks)."""
        path = self.path(name)
        return path, make_release(path, blocks, product_id=product_id, tail=tail)

    def handset(self, *args, image_blocks=None):
        h = Handset(self.work, *args, image_blocks=image_blocks)
        self.addCleanup(h.__exit__, None, None, None)
        return h

    def download(self, release, port, *args, timeout=90, cwd=None):
        """Runs `tarvolo download --json` and checks that it left no sanitizer report."""
        started = time.monotonic()
        code, out, err = download(release, port, "--json", *args, timeout=timeout, cwd=cwd)
        run = Run(code, out, err, time.monotonic() - started)
        self.assertClean(err, "tarvolo")
        return run

    def start_download(self, release, port, *args, stdin=subprocess.DEVNULL):
        """Starts `tarvolo download --json` in the background; its lines go to a queue.
        Returns (process, queue)."""
        cmd = [os.path.join(bin_dir(), "tarvolo"), "download", "--port", port, "--json"]
        proc = subprocess.Popen(cmd + [str(a) for a in args] + [release], stdin=stdin,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

        def end():
            if proc.poll() is None:
                proc.kill()
            proc.wait()
            for stream in (proc.stdin, proc.stdout, proc.stderr):
                if stream:
                    stream.close()
        self.addCleanup(end)
        lines = queue.Queue()
        threading.Thread(target=lambda: [lines.put(l) for l in proc.stdout], daemon=True).start()
        return proc, lines

    def wait_for_text(self, lines, text, timeout=30):
        """Takes lines from a started download until a status line shows `text`. Returns
        the events taken."""
        deadline = time.monotonic() + timeout
        taken = []
        while time.monotonic() < deadline:
            try:
                line = lines.get(timeout=max(0.01, deadline - time.monotonic()))
            except queue.Empty:
                break
            if not line.startswith("{"):
                continue
            taken.append(json.loads(line))
            if taken[-1].get("event") == "status" and text in taken[-1]["text"]:
                return taken
        self.fail("no status text with %r within %d s" % (text, timeout))

    def assertClean(self, stderr, who):
        for mark in SANITIZER_MARKS:
            self.assertNotIn(mark, stderr, "%s reported a fault:\n%s" % (who, stderr))

    def assertHandsetClean(self, handset):
        """Ends the handset and checks its exit and its stderr."""
        code = handset.stop()
        self.assertClean(handset.errors(), "tarvolo-handset")
        self.assertEqual(code, 0, "tarvolo-handset: " + handset.errors())

    def assertCompleted(self, run, handset, image, checksum, gang=False):
        """Exit 0, the completion text, and the handset's flash equal to the image."""
        self.assertEqual(run.code, 0, run.stdout + run.stderr)
        self.assertEqual(run.results(), [0])
        self.assertEqual(run.last["advice"], completed_text(checksum, gang))
        self.assertEqual(run.last["phase"], CHECKSUMMING)
        self.assertHandsetClean(handset)
        self.assertEqual(handset.flash_bytes(), image, "the handset's flash differs from the image")
        self.assertEqual(host_violations(handset.report()), [])

    def assertEnded(self, run, code, phase=None, advice=None):
        """The exit code, the one result event behind it, and the status lines at the end."""
        self.assertEqual(run.code, code, run.stdout + run.stderr)
        self.assertEqual(run.results(), [code])
        if phase is not None:
            self.assertEqual(run.last["phase"], phase)
        if advice is not None:
            self.assertEqual(run.last["advice"], advice)
