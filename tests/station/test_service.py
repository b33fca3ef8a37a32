"""The station as a systemd service. For real where this machine can boot systemd in a
container (systemd-nspawn over the host's own /usr): the unit started and stopped by systemctl
on virtual handsets, its status line, the journal's priorities, a stopped main loop killed by
the watchdog and restarted. Everywhere: the notification protocol against a NOTIFY_SOCKET this
test listens on, a configuration file with the command line over it, hostile configuration
files, and the unit itself through systemd-analyze."""
import os
import re
import shutil
import signal
import socket
import sqlite3
import subprocess
import threading
import time
import unittest
import uuid

from station_case import StationCase
from harness import bin_dir  # noqa: E402 (station_case puts it on the path)

WATCHDOG_USEC = 600000  # the station must say WATCHDOG=1 at least every 0.3 s of it


class ManagerSocket:
    """The manager's side of $NOTIFY_SOCKET: every datagram with the time it came."""

    def __init__(self, path):
        self.path = path
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self.sock.settimeout(0.2)
        self.messages = []  # (monotonic time, text)
        self.running = True
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        while self.running:
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                continue
            except OSError:
                return
            self.messages.append((time.monotonic(), data.decode()))

    def close(self):
        self.running = False
        self.thread.join()
        self.sock.close()

    def wait_for(self, field, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for at, text in list(self.messages):
                if field in text.split("\n"):
                    return at
            time.sleep(0.05)
        return None

    def times_of(self, field, since=0.0, until=float("inf")):
        return [at for at, text in list(self.messages) if field in text.split("\n") and since <= at <= until]

    def statuses(self):
        return [line[len("STATUS="):] for _, text in list(self.messages) for line in text.split("\n")
                if line.startswith("STATUS=")]


def tarvolo():
    return os.path.abspath(os.path.join(bin_dir(), "tarvolo"))


def unit_text(program=None):
    """The unit as installed, its program the one built here (or `program`)."""
    with open(os.environ["TARVOLO_UNIT"]) as f:
        text = f.read()
    return re.sub(r"^ExecStart=\S+/tarvolo ", "ExecStart=%s " % (program or tarvolo()), text, flags=re.M)


class Container:
    """A systemd booted by systemd-nspawn on the host's own /usr (a fresh tmpfs root, so
    nothing of it stays), with the built programs and `work` (as /srv/tvtest) bound in.
    Commands run inside through nsenter. The programs are bound at BIN, outside /tmp: the unit's
    own PrivateTmp= would hide a build tree that lives there."""

    BIN = "/opt/tvtest/bin"

    def __init__(self, work):
        self.marker = "tvtest%s" % uuid.uuid4().hex[:8]
        self.log = open(os.path.join(work, "container.log"), "w")
        bins = os.path.abspath(bin_dir())
        # The host's other services stay off: the first boot enables no unit.
        preset = os.path.join(work, "99-tvtest.preset")
        with open(preset, "w") as f:
            f.write("disable *\n")
        self.proc = subprocess.Popen(
            ["systemd-nspawn", "--directory=/", "--volatile=yes", "--register=no", "--keep-unit", "--boot",
             "--machine=" + self.marker, "--bind-ro=/etc/passwd", "--bind-ro=/etc/group",
             "--bind-ro=%s:/etc/systemd/system-preset/99-tvtest.preset" % preset,
             "--bind-ro=%s:%s" % (bins, self.BIN), "--bind=%s:/srv/tvtest" % work,
             "systemd.firstboot=off", "systemd.setenv=TVTEST=" + self.marker],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT, start_new_session=True)
        self.pid = None

    def booted(self, timeout=60):
        """Waits for the container's systemd to be up; returns why not, or None."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.proc.poll() is None:
            self.pid = self.pid or self._init_pid()
            if self.pid and self.run("systemctl", "is-system-running").stdout.strip() in ("running", "degraded"):
                return None
            time.sleep(0.3)
        with open(self.log.name, errors="replace") as f:
            return "systemd did not boot in systemd-nspawn: " + re.sub(r"\x1b\[[0-9;]*m", "", f.read())[-600:]

    def _init_pid(self):
        for entry in os.listdir("/proc"):
            try:
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    argv = f.read().split(b"\0")
                # The container's init, not systemd-nspawn, whose command line holds the marker too.
                if argv[0].endswith(b"/systemd") and ("systemd.setenv=TVTEST=" + self.marker).encode() in argv:
                    return int(entry)
            except (OSError, ValueError):
                continue
        return None

    def root(self, path):
        return "/proc/%d/root%s" % (self.pid, path)

    def run(self, *argv, check=False):
        return subprocess.run(["nsenter", "-t", str(self.pid), "-a", *argv], capture_output=True, text=True,
                              timeout=60, check=check)

    def show(self, unit, prop):
        return self.run("systemctl", "show", "-p", prop, "--value", unit).stdout.strip()

    def end(self):
        self.pid = self.pid or self._init_pid()
        if self.proc.poll() is None and self.pid:
            self.run("systemctl", "poweroff")
        try:
            self.proc.wait(30)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        # An init that outlived its systemd-nspawn would keep the container running: killing it
        # ends every process inside.
        init = self._init_pid()
        if init:
            os.kill(init, signal.SIGKILL)
        self.log.close()


def wait_until(test, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = test()
        if value:
            return value
        time.sleep(0.2)
    return test()


class ServiceInContainer(StationCase):
    def test_the_unit_under_systemd(self):
        if os.geteuid() != 0 or not shutil.which("systemd-nspawn"):
            self.skipTest("booting systemd in a container needs root and systemd-nspawn")
        self.image()  # image.rel in the work folder: /srv/tvtest/image.rel inside
        os.chmod(self.work, 0o755)  # the station's dynamic user reads the release file there
        container = Container(self.work)
        self.addCleanup(container.end)
        why = container.booted()
        if why:
            self.skipTest(why)
        w = "/srv/tvtest"
        # Virtual handsets inside (the container has pseudo-terminals of its own); the second
        # port's first unit reports a wrong checksum.
        for i, faults in ((1, []), (2, ["--unit-faults", "1:wrong-checksum"])):
            os.makedirs(self.path("port%d" % i))
            container.run("systemd-run", "--unit=handset%d" % i, "--property=StandardOutput=file:%s/port%d/pty" % (w, i),
                          os.path.join(Container.BIN, "tarvolo-handset"),
                          "--link", "%s/port%d/ttyHANDSET" % (w, i), "--flash-out", "%s/port%d/flash.bin" % (w, i),
                          "--report", "%s/port%d/report.json" % (w, i), "--block-size", "256", "--erase-ms", "50",
                          "--units", "40", "--unit-stay-ms", "1500", "--unit-gap-ms", "1500", *faults, check=True)
            pty = wait_until(lambda: os.path.lexists(self.path("port%d/ttyHANDSET" % i)) and
                             os.readlink(self.path("port%d/ttyHANDSET" % i)), 15)
            self.assertTrue(pty, container.run("systemctl", "status", "handset%d" % i).stdout)
            os.chmod(container.root(pty), 0o666)  # a pty is its maker's; a serial port the dialout group's
        os.makedirs(container.root("/etc/tarvolo"))
        with open(container.root("/etc/tarvolo/line3.conf"), "w") as f:
            f.write('file = "%s/image.rel"\nports = ["%s/port1/ttyHANDSET", "%s/port2/ttyHANDSET"]\n'
                    'station-id = "line3"\noperator = "ann"\nrearm-silence = 1\n' % (w, w, w))
        with open(container.root("/etc/systemd/system/tarvolo-station@.service"), "w") as f:
            f.write(unit_text(os.path.join(Container.BIN, "tarvolo")))
        # For the test only: pseudo-terminals for the handsets, a short watchdog and restart,
        # and no leak check at exit (LeakSanitizer cannot trace itself inside the sandbox).
        os.makedirs(container.root("/etc/systemd/system/tarvolo-station@.service.d"))
        with open(container.root("/etc/systemd/system/tarvolo-station@.service.d/test.conf"), "w") as f:
            f.write("[Service]\nDeviceAllow=char-pts rw\nWatchdogSec=3s\nRestartSec=1s\n"
                    "Environment=ASAN_OPTIONS=detect_leaks=0\n")
        container.run("systemctl", "daemon-reload", check=True)
        unit = "tarvolo-station@line3.service"

        started = container.run("systemctl", "start", unit)  # returns once READY=1 came
        self.assertEqual(started.returncode, 0, started.stderr + container.run("journalctl", "-u", unit).stdout)
        self.assertEqual(container.show(unit, "ActiveState"), "active")
        status = wait_until(lambda: re.search(r"units done ([3-9]|\d\d), failed 1",
                                              container.show(unit, "StatusText")), 60)
        self.assertTrue(status, container.show(unit, "StatusText"))
        errors = container.run("journalctl", "-u", unit, "-p", "err", "-o", "cat").stdout
        self.assertRegex(errors, r"port2/ttyHANDSET: unit \d+ failed")
        self.assertNotIn("completed", errors)

        # A main loop that stops turning is killed by the watchdog and started again.
        first = container.show(unit, "MainPID")
        container.run("kill", "-STOP", first, check=True)
        self.assertTrue(wait_until(lambda: container.show(unit, "NRestarts") == "1" and
                                   container.show(unit, "ActiveState") == "active", 30))
        self.assertNotEqual(container.show(unit, "MainPID"), first)
        self.assertIn("Watchdog timeout", container.run("journalctl", "-u", unit, "-o", "cat").stdout)
        self.assertTrue(wait_until(lambda: re.search(r"units done [1-9]", container.show(unit, "StatusText")), 60))

        # A stop ends the units in progress as interrupted, and is a clean stop.
        container.run("systemctl", "stop", unit, check=True)
        self.assertEqual((container.show(unit, "ActiveState"), container.show(unit, "Result")), ("inactive", "success"))
        record = container.root("/var/lib/private/tarvolo/line3/tarvolo-production.db")
        for tail in ("", "-wal", "-shm"):
            if os.path.exists(record + tail):
                shutil.copy(record + tail, self.path("record.db" + tail))
        runs = self.runs_in(self.path("record.db"))
        self.assertEqual([(r["ending"], r["exit_code"]) for r in runs], [(None, None), ("interrupted", 130)])
        units = self.units_in(self.path("record.db"))
        self.assertTrue(any(u["outcome"] == "failed" and u["port_selector"].endswith("port2/ttyHANDSET") for u in units))
        self.assertEqual({u["station_id"] for u in units}, {"line3"})


class Service(StationCase):
    def config(self, text, name="station.conf"):
        path = self.path(name)
        with open(path, "wb") as f:
            f.write(text if isinstance(text, bytes) else text.encode())
        return path

    def test_a_station_under_a_service_manager(self):
        release, _ = self.image()
        handsets = self.handsets(2, units=4, per_port=[[], ["--unit-faults", "1:wrong-checksum"]])
        record = self.path("record.db")
        conf = self.config(
            "# the station of line 3\n"
            'file = "%s"\n'
            "ports = [%s]\n"
            'log = "%s"\n'
            'station-id = "line3"\n'
            'operator = "ann"\n'
            'lot = "from the file"\n'
            "rearm-silence = 1\n" % (release, ", ".join('"%s"' % h.link for h in handsets), record))
        manager = ManagerSocket(self.path("notify"))
        self.addCleanup(manager.close)
        # The journal's stream: the station's standard output, named by $JOURNAL_STREAM.
        read_end, write_end = os.pipe()
        st = os.fstat(write_end)
        env = dict(os.environ, NOTIFY_SOCKET=manager.path, WATCHDOG_USEC=str(WATCHDOG_USEC),
                   JOURNAL_STREAM="%d:%d" % (st.st_dev, st.st_ino))
        proc = subprocess.Popen([tarvolo(), "station", "--config", conf, "--lot", "L-cmd"], stdout=write_end,
                                stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, env=env, cwd=self.work)
        os.close(write_end)
        lines = []
        reader = threading.Thread(target=lambda: lines.extend(os.fdopen(read_end, errors="replace")), daemon=True)
        reader.start()
        self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))

        ready = manager.wait_for("READY=1")
        self.assertIsNotNone(ready, "no READY=1")
        # The failed unit of port 2 and a completed one, then the loop is stopped.
        deadline = time.monotonic() + 90
        while time.monotonic() < deadline and not re.search(r"units done [2-9], failed 1", " ".join(manager.statuses())):
            time.sleep(0.1)
        self.assertRegex(" ".join(manager.statuses()), r"units done [2-9], failed 1")
        time.sleep(2)  # handsets come and go meanwhile
        pings = manager.times_of("WATCHDOG=1", since=ready)
        self.assertGreater(len(pings), 3, manager.messages)
        gaps = [b - a for a, b in zip(pings, pings[1:])]
        self.assertLess(max(gaps), WATCHDOG_USEC / 1e6, "the watchdog would have fired")

        proc.send_signal(signal.SIGSTOP)
        stopped = time.monotonic()
        time.sleep(2)
        silent_until = time.monotonic()
        proc.send_signal(signal.SIGCONT)
        # A datagram sent just before the stop may be read just after it.
        self.assertEqual(manager.times_of("WATCHDOG=1", since=stopped + 0.1, until=silent_until), [])
        resumed = time.monotonic()
        deadline = resumed + 5
        while time.monotonic() < deadline and not manager.times_of("WATCHDOG=1", since=resumed):
            time.sleep(0.05)
        self.assertTrue(manager.times_of("WATCHDOG=1", since=resumed), "no watchdog after SIGCONT")

        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(60), 130, proc.stderr.read().decode(errors="replace"))
        reader.join(10)
        proc.stderr.close()
        self.assertTrue(manager.times_of("STOPPING=1"))

        # Journal lines: a priority each, no time of day, no redraw; the failed unit an error.
        self.assertTrue(lines)
        for line in lines:
            self.assertRegex(line, r"^<[36]>[^\x1b]*\n$")
        errors = [l for l in lines if l.startswith("<3>")]
        self.assertTrue(any("unit" in l and "failed" in l and handsets[1].link in l for l in errors), errors)
        self.assertFalse(any(" completed " in l for l in errors))

        units = self.units_in(record)
        self.assertGreaterEqual(len(units), 2)
        for u in units:
            self.assertEqual((u["station_id"], u["operator"], u["lot"]), ("line3", "ann", "L-cmd"))
        self.assertEqual(self.runs_in(record)[0]["ending"], "interrupted")
        final = manager.statuses()[-1]
        done = len(units)
        self.assertTrue(final.startswith("units done %d," % done), (final, done))
        self.assertNotFlashedTwice(handsets)

    def test_configuration_files_the_station_refuses(self):
        release, _ = self.image()
        handsets = self.handsets(1, units=1)
        record = self.path("record.db")
        head = 'file = "%s"\nports = "%s"  # naïve\nlog = "%s"\n' % (release, handsets[0].link, record)
        cases = {
            "unknown key": (head + "colour = 3\n", r":4: colour: not a station option"),
            "section": (head + "[line]\nuser = 1\n", r":4: line: not a station option"),
            "wrong type": (head + "units = \"ten\"\n", r":4: units: "),
            "flag as text": (head + "scan = \"yes\"\n", r":4: scan: wants true or false"),
            "list for one": (head + "speed = [115200]\n", r":4: speed: takes one value"),
            "bad value": (head + "speed = 7\n", r":4: speed: .*7"),
            "escaped control": (head + 'operator = "a\\u001b[2Jb"\n', r":4: operator: holds a control character"),
            # Past ASCII: free in comments and quotes, refused elsewhere before the parser sees it.
            "accent outside quotes": (head + 'operator = """Zoë""""\u00e9\n', r":4: a character past ASCII outside quotes"),
            "NUL byte": (head.encode() + b'lot = "a\x00b"\n', r":4: "),
            "needs another": (head + "scan-window = 5\n", r":4: scan-window: needs scan"),
            "another file": (head + 'config = "x"\n', r":4: config: not a station option"),
            "10 MB": (head + "# padding\n" * 1000000, r":\d+: the file goes on past 64 KiB"),
        }
        for name, (text, message) in cases.items():
            with self.subTest(name):
                conf = self.config(text, "hostile.conf")
                run = subprocess.run([tarvolo(), "station", "--config", conf], capture_output=True,
                                     stdin=subprocess.DEVNULL, timeout=30, cwd=self.work)
                err = run.stderr.decode(errors="replace")
                self.assertEqual(run.returncode, 64, err)
                self.assertRegex(err, re.escape(conf) + message)
                self.assertNotIn("\x1b", err)
                self.assertFalse(os.path.exists(record), name)
        handsets[0].stop()
        self.assertEqual([u["downloadsStarted"] for u in handsets[0].report().get("units", [])], [0])

        # The shipped example is read whole: only its release file, not found here, is refused.
        example = os.path.join(os.path.dirname(__file__), "..", "..", "packaging", "systemd", "station-example.conf")
        run = subprocess.run([tarvolo(), "station", "--config", example, "--ports", handsets[0].link,
                              "--log", record], capture_output=True, stdin=subprocess.DEVNULL, timeout=30,
                             cwd=self.work)
        self.assertEqual(run.returncode, 1, run.stderr)
        self.assertIn(b"/srv/tarvolo/releases/km52.rel", run.stderr)

    def test_the_unit_verifies_and_is_hardened(self):
        unit_dir = self.path("units")
        os.makedirs(unit_dir)
        text = unit_text()
        unit = os.path.join(unit_dir, "tarvolo-station@line3.service")
        with open(unit, "w") as f:
            f.write(text)
        verify = subprocess.run(["systemd-analyze", "verify", "--man=no", unit], capture_output=True, text=True,
                                timeout=60, cwd=unit_dir)
        self.assertEqual(verify.returncode, 0, verify.stderr)
        self.assertEqual(verify.stderr.strip(), "")
        security = subprocess.run(["systemd-analyze", "security", "--offline=yes", unit], capture_output=True,
                                  text=True, timeout=60, cwd=unit_dir)
        score = re.search(r"Overall exposure level for \S+: (\d+\.\d+)", security.stdout)
        self.assertIsNotNone(score, security.stdout + security.stderr)
        self.assertLessEqual(float(score.group(1)), 2.0, security.stdout)
        for kept in ("Type=notify", "WatchdogSec=", "DynamicUser=yes", "SupplementaryGroups=dialout",
                     "StateDirectory=tarvolo", "DevicePolicy=closed", "SuccessExitStatus=130"):
            self.assertIn(kept, text)


if __name__ == "__main__":
    unittest.main()
