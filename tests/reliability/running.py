"""A `tarvolo download` that a test can watch while it runs: its JSON lines as they come, the
phase it has reached, its CPU time, and how it ended. Used by the interrupt and lost-port tests."""
import os
import signal
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402,F401  (re-exported for the tests)

TICKS = os.sysconf("SC_CLK_TCK")

# Texts that show the phase a download has reached.
PHASE_TEXTS = {
    "waiting": "Waiting for mobile signal",
    "exchange": "Exchanging parameters",
    "erase": "Erasing flash",
    "blocks": "Writing block # 2",
    "checksum": "Checksumming",
    "abort": "Checksum failed - Aborting",
}


def image_blocks(count, size=256):
    """`count` blocks of `size` bytes that are neither blank nor alike."""
    return [bytes((i * 7 + b * 13 + 1) % 251 for b in range(size)) for i in range(count)]


class Download:
    """`tarvolo download --json --trace` started in the background."""

    def __init__(self, workdir, release, port, *args):
        self.trace = os.path.join(workdir, "line.trace")
        cmd = [os.path.join(harness.bin_dir(), "tarvolo"), "download", "--port", port,
               "--json", "--trace", self.trace] + [str(a) for a in args] + [release]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        self.lines = []
        self.stderr = ""
        self._seen = threading.Condition()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self.code = None
        self.cpu = None

    def _read(self):
        for line in self.proc.stdout:
            with self._seen:
                self.lines.append(line)
                self._seen.notify_all()

    def output(self):
        with self._seen:
            return "".join(self.lines)

    def wait_for_text(self, text, timeout=30):
        """Waits until a status text containing `text` has been shown; False on time-out or
        when the download ended first."""
        deadline = time.monotonic() + timeout
        with self._seen:
            while not any(text in line for line in self.lines):
                left = deadline - time.monotonic()
                if left <= 0 or self.proc.poll() is not None:
                    return any(text in line for line in self.lines)
                self._seen.wait(min(left, 0.05))
        return True

    def wait_for_phase(self, phase, timeout=30):
        return self.wait_for_text(PHASE_TEXTS[phase], timeout)

    def cpu_seconds(self):
        """CPU time used so far (user + system)."""
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICKS

    def finish(self, timeout):
        """Waits for the end; returns (exit code or None when it had to be killed, seconds).
        Sets `cpu` to the total CPU time."""
        start = time.monotonic()
        deadline = start + timeout
        while True:
            pid, status, usage = os.wait4(self.proc.pid, os.WNOHANG)
            if pid:
                self.code = os.waitstatus_to_exitcode(status)
                break
            if time.monotonic() > deadline:
                self.proc.kill()
                _, status, usage = os.wait4(self.proc.pid, 0)
                self.code = None
                break
            time.sleep(0.01)
        self.proc.returncode = self.code if self.code is not None else -9
        self.cpu = usage.ru_utime + usage.ru_stime
        self._reader.join(5)
        self.proc.stdout.close()
        self.stderr = self.proc.stderr.read()
        self.proc.stderr.close()
        return self.code, time.monotonic() - start

    def sent_after_note(self, note):
        """Lines of the trace that show bytes sent after the trace note `note` (by their
        time: a write's line is stamped with the moment the write began)."""
        with open(self.trace) as f:
            lines = [line.split() for line in f if not line.startswith("#")]
        marks = [float(w[0]) for w in lines if len(w) > 2 and w[1] == "--" and w[2] == note]
        if not marks:
            return None
        return [" ".join(w) for w in lines if len(w) > 1 and w[1] == "TX" and float(w[0]) > marks[0]]

    def kill(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
            self.proc.wait()
