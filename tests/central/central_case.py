"""What the central database tests share: the throwaway PostgreSQL that scripts/with-postgres.sh
started (its port and a pg_ctl in the environment), a socat proxy that can be cut, and
comparing the central database with local records field by field."""
import os
import signal
import socket
import sqlite3
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "station"))

from station_case import StationCase, StationRun  # noqa: E402
from harness import bin_dir  # noqa: E402

PORT = os.environ.get("TARVOLO_PG_PORT", "")
PG_DIR = os.environ.get("TARVOLO_PG_DIR", "")
PG_CTL = os.environ.get("TARVOLO_PG_CTL", "")
PSQL = os.path.join(os.environ.get("TARVOLO_PG_BIN", "/usr/lib/postgresql/15/bin"), "psql")

def shipped_columns():
    """The columns a unit carries to the server, as the server has them (central/shipped_columns.h
    made them): every central column but the server's own `received` and the run's `run_uuid`."""
    _, out, _ = psql("SELECT column_name FROM information_schema.columns WHERE table_name = 'units' AND "
                     "column_name NOT IN ('received', 'run_uuid') ORDER BY ordinal_position")
    return out.split()


def connection(port=None, user="postgres"):
    return "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=%s;Database=tarvolo;Uid=%s;" % (port or PORT, user)


def listening(port):
    """Whether something accepts connections on the loopback port within about five seconds."""
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def psql(sql, user="postgres"):
    """Runs SQL; returns (exit code, stdout, stderr)."""
    p = subprocess.run([PSQL, "-h", "127.0.0.1", "-p", PORT, "-U", user, "-XAtq", "-v", "ON_ERROR_STOP=1",
                        "-F", "\t", "-c", sql, "tarvolo"], capture_output=True, text=True, timeout=60)
    return p.returncode, p.stdout, p.stderr


def server_up():
    return subprocess.run([PG_CTL, "status"], capture_output=True).returncode == 0


def stop_server():
    subprocess.run([PG_CTL, "-m", "fast", "stop"], capture_output=True, timeout=60)


def start_server():
    for _ in range(50):  # after a kill -9 the old backends may still hold the shared memory a moment
        if subprocess.run([PG_CTL, "start"], capture_output=True, timeout=60).returncode == 0:
            return
        time.sleep(0.2)
    raise RuntimeError("the PostgreSQL server does not start again")


def kill_server():
    with open(os.path.join(PG_DIR, "postmaster.pid")) as f:
        os.kill(int(f.readline()), signal.SIGKILL)
    time.sleep(0.3)


class Proxy:
    """socat between a client and the server, on 127.0.0.1; cut() kills it (every connection
    through it ends at once), start() brings it back on the same port."""

    def __init__(self, port=None):
        self.port = port or free_port()
        self.proc = None

    def start(self):
        self.proc = subprocess.Popen(["socat", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork" % self.port,
                                      "TCP:127.0.0.1:%s" % PORT], stderr=subprocess.DEVNULL)
        listening(self.port)

    def cut(self):
        if self.proc:
            self.proc.kill()
            self.proc.wait()
            self.proc = None


class Pooler:
    """A throw-away pgbouncer on 127.0.0.1 in front of the test's server, in transaction pooling:
    each transaction of a client may run on another server connection, and with `pool_size` 1
    every client's transactions share one. It runs as the server does (as postgres when the
    test runs as root: pgbouncer refuses root); stop() ends it by its process id and removes
    its folder. `users` are the logins it admits (trust, as the test's server)."""

    def __init__(self, users=("postgres",), pool_size=2, max_clients=100):
        import tempfile
        self.port = free_port()
        self.dir = tempfile.mkdtemp(prefix="tarvolo-pgbouncer.")
        self.proc = None
        self.pid_file = os.path.join(self.dir, "pgbouncer.pid")
        with open(os.path.join(self.dir, "users.txt"), "w") as f:
            f.writelines('"%s" ""\n' % u for u in users)
        with open(os.path.join(self.dir, "pgbouncer.ini"), "w") as f:
            f.write("[databases]\ntarvolo = host=127.0.0.1 port=%s dbname=tarvolo\n[pgbouncer]\n"
                    "listen_addr = 127.0.0.1\nlisten_port = %d\nunix_socket_dir =\npool_mode = transaction\n"
                    "auth_type = trust\nauth_file = %s/users.txt\ndefault_pool_size = %d\nmax_client_conn = %d\n"
                    "server_login_retry = 1\npidfile = %s\nlogfile = %s/pgbouncer.log\n"
                    % (PORT, self.port, self.dir, pool_size, max_clients, self.pid_file, self.dir))
        if os.getuid() == 0:
            subprocess.run(["chown", "-R", "postgres:", self.dir], check=True)

    def start(self):
        as_pg = ["runuser", "-u", "postgres", "--"] if os.getuid() == 0 else []
        self.proc = subprocess.Popen(as_pg + ["/usr/sbin/pgbouncer", os.path.join(self.dir, "pgbouncer.ini")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not listening(self.port):
            raise RuntimeError("pgbouncer does not start: " + self.log())

    def log(self):
        try:
            with open(os.path.join(self.dir, "pgbouncer.log")) as f:
                return f.read()
        except OSError:
            return ""

    def stop(self, how=signal.SIGTERM):
        """Ends pgbouncer (SIGKILL: every client connection goes at once)."""
        if not self.proc:
            return
        try:
            with open(self.pid_file) as f:
                os.kill(int(f.read().split()[0]), how)
        except (OSError, ValueError, IndexError):
            pass
        self.proc.wait(30)
        self.proc = None

    def remove(self):
        import shutil
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


def keepalive_timers(pid, port):
    """The TCP connections of process `pid` to 127.0.0.1:`port`, each as (timer kind, seconds
    until it fires) from /proc/net/tcp: kind 2 is the keepalive timer, armed only on a socket
    that asked for keepalives."""
    inodes = set()
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    timers = []
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            remote, state, timer, inode = fields[2], fields[3], fields[5], fields[9]
            if inode in inodes and state == "01" and int(remote.split(":")[1], 16) == port:
                kind, when = timer.split(":")
                timers.append((int(kind, 16), int(when, 16) / 100.0))
    return timers


class NamedStation(StationRun):
    """A station run under a name of its own (StationRun's is S1)."""

    def central_events(self):
        return [e for e in self.events if e.get("event") == "central"]


class CentralCase(StationCase):
    @classmethod
    def setUpClass(cls):
        if not PORT:
            raise unittest_skip("run through scripts/with-postgres.sh")

    def tarvolo(self, *args, timeout=120, env=None):
        p = subprocess.run([os.path.join(bin_dir(), "tarvolo")] + [str(a) for a in args], capture_output=True,
                           text=True, timeout=timeout, cwd=self.work, env=dict(os.environ, **(env or {})))
        return p.returncode, p.stdout, p.stderr

    def fresh_central(self, *init):
        """The server up and the line's tables made anew by `tarvolo central init INIT...`."""
        if not server_up():
            start_server()
        psql("DROP TABLE IF EXISTS stations, runs, run_ends, units, releases, revocation_lists")
        code, _, err = self.tarvolo("central", "init", *init, "--central", connection())
        self.assertEqual(code, 0, err)

    def start_tarvolo(self, *args):
        return subprocess.Popen([os.path.join(bin_dir(), "tarvolo")] + [str(a) for a in args],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=self.work)

    def named_station(self, name, release, ports, *args, record, lot="L7"):
        """`tarvolo station --json` as station `name`, shipping as its arguments say."""
        run = NamedStation.__new__(NamedStation)
        import json, queue, threading
        cmd = [os.path.abspath(os.path.join(bin_dir(), "tarvolo")), "station", "--json", "--ports", ",".join(ports),
               "--log", record, "--station-id", name, "--operator", "Zoë", "--lot", lot, "--rearm-silence", "1"]
        run.record, run.name, run.events, run._new = record, name, [], queue.Queue()
        run.proc = subprocess.Popen(cmd + [str(a) for a in args] + [release], stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=self.work)
        threading.Thread(target=run._read, daemon=True).start()
        self.addCleanup(run.end)
        return run

    def proxy(self):
        p = Proxy()
        self.addCleanup(p.cut)
        return p

    def central_units(self, where="TRUE"):
        code, out, err = psql("SELECT row_to_json(u) FROM (SELECT %s FROM units WHERE %s) u" %
                              (", ".join(shipped_columns()), where))
        self.assertEqual(code, 0, err)
        import json
        return [json.loads(line) for line in out.splitlines()]

    def local_units(self, record):
        db = sqlite3.connect(record)
        db.row_factory = sqlite3.Row
        shipped = shipped_columns()
        rows = [{k: r[k] for k in shipped} for r in db.execute("SELECT * FROM units")]
        runs = {r[0]: r[1] for r in db.execute("SELECT run_id, run_uuid FROM runs")}
        for r, (run_id,) in zip(rows, db.execute("SELECT run_id FROM units")):
            r["run_uuid"] = runs[run_id]
        db.close()
        return rows

    def assertCentralHolds(self, records, exclude=()):
        """Every unit of the records is centrally once, equal field by field; nothing else is."""
        local = [u for r in records for u in self.local_units(r) if u["attempt_uuid"] not in exclude]
        code, out, _ = psql("SELECT attempt_uuid, run_uuid FROM units")
        central_runs = dict(line.split("\t") for line in out.splitlines())
        central = {u["attempt_uuid"]: u for u in self.central_units()}
        self.assertEqual(len(central), len(local))
        for u in local:
            self.assertIn(u["attempt_uuid"], central)
            self.assertEqual(central_runs[u["attempt_uuid"]], u.pop("run_uuid"))
            self.assertEqual(central[u["attempt_uuid"]], u)


def unittest_skip(why):
    import unittest
    return unittest.SkipTest(why)
