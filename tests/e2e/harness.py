"""Running `tarvolo download` against `tarvolo-handset` on a pseudo-terminal.

Shared by the end-to-end tests, the soak run and the download benchmark. Every process it
starts is ended when the test ends, whatever happens.
"""
import json
import os
import signal
import subprocess
import tempfile
import time


def bin_dir():
    """The folder of the built executables (TARVOLO_BIN, or build/asan/bin)."""
    here = os.path.dirname(os.path.abspath(__file__))
    return os.environ.get("TARVOLO_BIN", os.path.join(here, "..", "..", "build", "asan", "bin"))


def record_schema_version():
    """The schema version this tree's station writes: one step of kMigrations per version."""
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "..", "..", "record", "sqlite_schema.h")) as f:
        return f.read().count('R"sql(')


def make_empty_record(path, version=None):
    """An empty SQLite production record of this tree's schema, as a station starts one: every
    step of kMigrations in order (tarvolo_uuid7 is the writer's own; no row needs it here).
    With `version`, only the steps up to it: a record an older station left."""
    import re
    import sqlite3
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "..", "..", "record", "sqlite_schema.h")) as f:
        steps = re.findall(r'R"sql\((.*?)\)sql"', f.read(), re.S)[:version]
    db = sqlite3.connect(path)
    db.create_function("tarvolo_uuid7", 1, lambda utc: None)
    for sql in steps:
        db.executescript(sql)
    db.execute("PRAGMA application_id = %d" % 0x54564C52)
    db.execute("PRAGMA user_version = %d" % len(steps))
    db.commit()
    db.close()


def make_release(path, blocks, product_id=b"KM52", tail=b""):
    """Writes a release file: the identifier, the blocks (bytes each), then `tail`.
    Returns the image's whole blocks as the handset's flash should hold them."""
    image = b"".join(blocks)
    with open(path, "wb") as f:
        f.write(product_id + image + tail)
    return image


def parameter_record(product_id=b"KM52", block_size=1024, protocol=b"1", blank=0xFF):
    """The 64-byte parameter record a tarvolo-handset sends, as lower-case hex: product id,
    download code, block size (little-endian) and blank byte at their places, zeros elsewhere."""
    record = bytearray(64)
    record[0:4] = product_id
    record[16:23] = b"DOWNLD" + protocol
    record[32:36] = block_size.to_bytes(4, "little")
    record[41] = blank
    return record.hex()


class Handset:
    """A tarvolo-handset process on its own pty, reachable through a symlink."""

    def __init__(self, workdir, *args, image_blocks=None):
        self.workdir = workdir
        self.link = os.path.join(workdir, "ttyHANDSET")
        self.flash = os.path.join(workdir, "flash.bin")
        self.report_path = os.path.join(workdir, "report.json")
        cmd = [os.path.join(bin_dir(), "tarvolo-handset"), "--link", self.link,
               "--flash-out", self.flash, "--report", self.report_path]
        if image_blocks is not None:
            cmd += ["--image-blocks", str(image_blocks)]
        cmd += [a if isinstance(a, bytes) else str(a) for a in args]  # bytes: as they are
        self.stderr_path = os.path.join(workdir, "handset.err")
        self.stderr = open(self.stderr_path, "w")
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=self.stderr,
                                     stdin=subprocess.DEVNULL, text=True)
        self.pty = self.proc.stdout.readline().strip()
        if not self.pty:
            self.stop()
            raise RuntimeError("tarvolo-handset did not start: " + self.errors())

    def errors(self):
        # A file description of its own: seeking the one the handset writes through would
        # move where its next line lands.
        with open(self.stderr_path) as f:
            return f.read()

    def wait_for(self, text, timeout=30):
        """Waits until the handset's stderr shows `text`; returns whether it did in time."""
        deadline = time.monotonic() + timeout
        while text not in self.errors():
            if time.monotonic() > deadline:
                return False
            time.sleep(0.05)
        return True

    def stop(self, timeout=10):
        """Ends the handset (SIGTERM) and returns its exit code."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode

    def report(self):
        with open(self.report_path) as f:
            return json.load(f)

    def flash_bytes(self):
        with open(self.flash, "rb") as f:
            return f.read()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        self.proc.stdout.close()
        self.stderr.close()


def download(release, port, *args, timeout=120, cwd=None, env=None):
    """Runs `tarvolo download` and returns (exit code, stdout, stderr)."""
    cmd = [os.path.join(bin_dir(), "tarvolo"), "download", "--port", port]
    cmd += [str(a) for a in args] + [release]
    proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=timeout, cwd=cwd, env=env)
    return proc.returncode, proc.stdout, proc.stderr


def json_events(stdout):
    """The JSON objects of a --json run, one per line."""
    return [json.loads(line) for line in stdout.splitlines() if line.startswith("{")]


def last_texts(events):
    """The last text of each status line in a --json run: {'phase': ..., 'advice': ...}."""
    lines = {"phase": "", "advice": ""}
    for e in events:
        if e.get("event") == "status":
            lines[e["line"]] = e["text"]
    return lines


class WorkDir:
    """A temporary folder, removed at the end."""

    def __enter__(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="tarvolo-e2e-")
        return self._tmp.name

    def __exit__(self, *exc):
        self._tmp.cleanup()
