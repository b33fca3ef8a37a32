"""What the station tests share: several virtual handsets, each a stream of units on its own
pty, and a `tarvolo station --json` run whose events are collected as they come."""
import json
import os
import queue
import sqlite3
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from e2e_case import E2ECase, data_block  # noqa: E402
from harness import Handset, bin_dir  # noqa: E402

BS = 256


class StationRun:
    """A `tarvolo station --json` process; its events are kept in order as they arrive."""

    def __init__(self, case, release, ports, *args, record=None, env=None, new_group=False,
                 stdin=subprocess.DEVNULL):
        self.record = record or case.path("record.db")
        cmd = [os.path.abspath(os.path.join(bin_dir(), "tarvolo")), "station", "--json", "--ports", ",".join(ports),
               "--log", self.record, "--station-id", "S1", "--operator", "ann", "--lot", "L7",
               "--rearm-silence", "1"] + [str(a) for a in args] + [release]
        self.proc = subprocess.Popen(cmd, stdin=stdin, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, cwd=case.work,
                                     env=dict(os.environ, **(env or {})), start_new_session=new_group)
        self.events = []
        self._new = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        case.addCleanup(self.end)

    def _read(self):
        for line in self.proc.stdout:
            if line.startswith("{"):
                event = json.loads(line)
                self.events.append(event)
                self._new.put(event)

    def wait_for(self, test, timeout=60):
        """Takes events until one passes `test`; returns it (None after the timeout)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                event = self._new.get(timeout=max(0.01, deadline - time.monotonic()))
            except queue.Empty:
                break
            if test(event):
                return event
        return None

    def wait(self, timeout=120):
        code = self.proc.wait(timeout)
        time.sleep(0.2)  # the reading thread takes the last lines
        return code

    def stderr(self):
        return self.proc.stderr.read() if self.proc.poll() is not None else ""

    def unit_ends(self):
        return [e for e in self.events if e.get("event") == "unit_end"]

    def end(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()
        if self.proc.stdin:
            self.proc.stdin.close()


class StationCase(E2ECase):
    def handsets(self, count, *args, units=3, stay=1500, per_port=None):
        """`count` handsets, each a stream of `units` units on its own link; per_port[i] adds
        arguments for handset i."""
        result = []
        for i in range(count):
            folder = self.path("port%d" % (i + 1))
            os.makedirs(folder, exist_ok=True)
            extra = list(per_port[i]) if per_port and i < len(per_port) else []
            h = Handset(folder, "--block-size", BS, "--erase-ms", 50, "--units", units,
                        "--unit-stay-ms", stay, "--unit-gap-ms", 1500, *args, *extra)
            self.addCleanup(h.__exit__, None, None, None)
            result.append(h)
        return result

    def image(self, blocks=4):
        return self.release([data_block(BS, n) for n in range(blocks)])

    def station(self, release, ports, *args, record=None, env=None, new_group=False, stdin=subprocess.DEVNULL):
        return StationRun(self, release, ports, *args, record=record, env=env, new_group=new_group, stdin=stdin)

    def units_in(self, record):
        db = sqlite3.connect(record)
        db.row_factory = sqlite3.Row
        rows = [dict(r) for r in db.execute("SELECT * FROM units ORDER BY sequence")]
        self.assertEqual(db.execute("PRAGMA integrity_check").fetchone()[0], "ok")
        db.close()
        return rows

    def runs_in(self, record):
        db = sqlite3.connect(record)
        db.row_factory = sqlite3.Row
        rows = [dict(r) for r in db.execute("SELECT * FROM runs ORDER BY run_id")]
        db.close()
        return rows

    def assertNotFlashedTwice(self, handsets):
        for h in handsets:
            h.stop()
            for unit in h.report().get("units", []):
                self.assertFalse(unit["flashedTwice"], unit)

    def workers_of(self, pid):
        """The station's worker processes: {port: pid}."""
        workers = {}
        for entry in os.listdir("/proc"):
            try:
                with open("/proc/%s/stat" % entry) as f:
                    parent = int(f.read().rsplit(")", 1)[1].split()[1])
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    argv = f.read().decode().split("\0")
            except (OSError, ValueError, IndexError):
                continue
            if parent == pid and "--port" in argv:
                workers[argv[argv.index("--port") + 1]] = int(entry)
        return workers

    @staticmethod
    def alive(pid):
        try:
            with open("/proc/%d/stat" % pid) as f:
                return f.read().rsplit(")", 1)[1].split()[0] != "Z"
        except OSError:
            return False
