"""The station's page against a stranger on its network, each attack as it was first tried on a
station flashing virtual handsets: a request line that never ends (300 MiB, then 1 GiB under an
address-space limit), slow and idle connections by the hundred while a worker is killed, and
tokens guessed. The station keeps its memory, its descriptors and its units; the page keeps
answering; a browser holds a session, never the token. Every server is on loopback: the
attackers come from other loopback addresses (127.0.1.x, 127.0.0.3), the page's own client from
127.0.0.1."""
import http.client
import os
import resource
import signal
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "station"))

from station_case import StationCase  # noqa: E402
from harness import bin_dir  # noqa: E402

HOST = "127.0.0.2"
TOKEN = "tk-bounds-3Vn8Qw2Lr5Xz"
MIB = 1 << 20


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def request(port, path, headers=None, source="127.0.0.1", timeout=10):
    """(status, headers, body) of one GET from `source`."""
    connection = http.client.HTTPConnection(HOST, port, timeout=timeout, source_address=(source, 0))
    try:
        connection.request("GET", path, headers=headers or {})
        answer = connection.getresponse()
        return answer.status, answer.headers, answer.read()
    finally:
        connection.close()


def proc_status(pid, field):
    """A /proc/PID/status figure in kB."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def endless_line(port, size):
    """'GET /' and `size` bytes without a newline; returns the bytes the station took before it
    cut the connection."""
    chunk = b"A" * MIB
    sent = 0
    with socket.create_connection((HOST, port), timeout=30) as s:
        try:
            s.sendall(b"GET /")
            while sent < size:
                sent += s.send(chunk)
        except (BrokenPipeError, ConnectionResetError):
            pass
    return sent


def sanitized(binary):
    """Built with ASan or TSan, which reserve far more address space than any limit we could set."""
    with open(binary, "rb") as f:
        text = f.read()
    return b"libasan.so" in text or b"libtsan.so" in text


class PageBounds(StationCase):
    def token_file(self, mode=0o600):
        path = self.path("token-%o" % mode)
        with open(path, "w") as f:
            f.write(TOKEN + "\n")
        os.chmod(path, mode)
        return path

    def served_station(self, release, handsets, *args):
        port = free_port()
        run = self.station(release, [h.link for h in handsets], "--http", "%s:%d" % (HOST, port),
                           "--http-token-file", self.token_file(), *args)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            try:
                request(port, "/page.css")
                return run, port
            except OSError:
                time.sleep(0.1)
        self.fail("the station's page did not come up: " + run.stderr())

    def assertRanToTheEnd(self, run, units):
        self.assertEqual(run.wait(120), 0, run.stderr())
        self.assertEqual([u["outcome"] for u in self.units_in(run.record)], ["completed"] * units)

    def test_a_request_line_without_end_costs_the_station_nothing(self):
        handsets = self.handsets(2, "--write-ms", 30, units=3)
        run, port = self.served_station(self.image(24)[0], handsets, "--units", 6)
        pid = run.proc.pid
        self.assertIsNotNone(run.wait_for(lambda e: e.get("event") == "progress" and e.get("phase") == "writing"))
        peak = proc_status(pid, "VmHWM")
        taken = endless_line(port, 300 * MIB)
        self.assertLess(taken, 64 * MIB, "the station read on past its bound")
        grown = proc_status(pid, "VmHWM") - peak
        self.assertLess(grown, 20 * 1024, "the station's peak RSS grew by %d kB" % grown)
        bearer = {"Authorization": "Bearer " + TOKEN}
        self.assertEqual(request(port, "/", bearer)[0], 200)
        # A head that fits the connection's memory but holds over 8 KiB or over 64 lines: 431.
        self.assertEqual(request(port, "/", {"X-Pad": "p" * 9000, **bearer})[0], 431)
        self.assertEqual(request(port, "/", {**{"X-%d" % i: "1" for i in range(70)}, **bearer})[0], 431)

        # Under a 2.5 GB address-space limit, as a station with little memory: a 1 GiB line
        # changes nothing either. (AddressSanitizer reserves terabytes of address space: a
        # sanitized build runs the line without the limit.)
        if not sanitized(os.path.join(bin_dir(), "tarvolo")):
            limit = 2500 * MIB
            resource.prlimit(pid, resource.RLIMIT_AS, (limit, limit))
        self.assertLess(endless_line(port, 1024 * MIB), 64 * MIB)
        self.assertRanToTheEnd(run, 6)

    def test_slow_and_idle_connections_while_a_worker_is_killed(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))
        self.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE, (soft, hard))
        handsets = self.handsets(2, "--write-ms", 60, "--unit-max-ms", 8000, units=4)
        run, port = self.served_station(self.image(30)[0], handsets, "--units", 8)
        pid = run.proc.pid
        # The station's own limit as the finding had it: 1024 descriptors.
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (1024, resource.prlimit(pid, resource.RLIMIT_NOFILE)[1]))

        stop = threading.Event()
        cut_after = []

        def slow(n):
            """A request head a byte every 2 s, from an address of its own."""
            started = time.monotonic()
            try:
                with socket.create_connection((HOST, port), timeout=30, source_address=("127.0.1.%d" % n, 0)) as s:
                    s.sendall(b"GET / HTTP/1.1\r\n")
                    while not stop.is_set():
                        s.sendall(b"X")
                        s.settimeout(2)
                        try:
                            if s.recv(4096) == b"":
                                break
                        except socket.timeout:
                            continue
            except OSError:
                pass
            cut_after.append(time.monotonic() - started)

        slow_threads = [threading.Thread(target=slow, args=(n,), daemon=True) for n in range(1, 17)]
        for t in slow_threads:
            t.start()
        idle = []
        for _ in range(1000):
            s = socket.socket()
            s.bind(("127.0.0.3", 0))
            s.setblocking(False)
            s.connect_ex((HOST, port))
            idle.append(s)
        self.addCleanup(lambda: [s.close() for s in idle])
        self.addCleanup(stop.set)

        # A worker killed mid-unit while they hang on.
        first = handsets[0].link
        self.assertIsNotNone(run.wait_for(lambda e: e.get("event") == "progress" and e.get("phase") == "writing"
                                          and e.get("port") == first))
        os.kill(self.workers_of(pid)[first], signal.SIGKILL)
        asked = time.monotonic()
        status, _, _ = request(port, "/", {"Authorization": "Bearer " + TOKEN}, timeout=5)
        self.assertEqual(status, 200)
        self.assertLess(time.monotonic() - asked, 3)
        held = len(os.listdir("/proc/%d/fd" % pid))
        self.assertLess(held, 200, "the station holds %d descriptors" % held)
        self.assertIsNotNone(run.wait_for(lambda e: e.get("event") == "unit_end" and e.get("result_code") == 13))
        self.assertIsNotNone(run.wait_for(lambda e: e.get("event") == "unit_end" and e.get("outcome") == "completed"
                                          and e.get("port") == first, timeout=120), run.stderr())
        # The slow ones were cut once their head's time was up, not when they stopped.
        for t in slow_threads:
            t.join(20)
        self.assertEqual(len(cut_after), 16)
        self.assertLess(max(cut_after), 14, cut_after)
        stop.set()
        run.proc.send_signal(signal.SIGINT)
        self.assertEqual(run.wait(60), 130, run.stderr())  # stopped by Ctrl-C, as a station is

    def test_a_session_not_the_token_and_guesses_made_to_wait(self):
        handsets = self.handsets(1, units=1, stay=30000)
        run, port = self.served_station(self.image(4)[0], handsets)
        status, headers, _ = request(port, "/login", {"Authorization": "Bearer " + TOKEN})
        self.assertEqual(status, 204)
        cookie = headers["Set-Cookie"]
        name, value = cookie.split(";")[0].split("=", 1)
        self.assertEqual(name, "tarvolo_session")
        self.assertNotIn(TOKEN, cookie)
        self.assertGreaterEqual(len(value), 32)  # at least 128 bits, in hex
        self.assertEqual(sorted(p.strip() for p in cookie.split(";")[1:]),
                         ["HttpOnly", "Max-Age=43200", "Path=/", "SameSite=Strict"])
        session = {"Cookie": "tarvolo_session=" + value}
        self.assertEqual(request(port, "/", session)[0], 200)
        self.assertEqual(request(port, "/", {"Cookie": "tarvolo_token=" + TOKEN})[0], 401)
        status, headers, _ = request(port, "/logout", session)
        self.assertEqual(status, 303)
        self.assertIn("Max-Age=0", headers["Set-Cookie"])
        self.assertEqual(request(port, "/", session)[0], 401)

        # A wrong token: answered at once, then even the right one waits, longer after each.
        wrong = {"Authorization": "Bearer wrong-token-0000000"}
        right = {"Authorization": "Bearer " + TOKEN}
        for wait in (1, 2):
            asked = time.monotonic()
            self.assertEqual(request(port, "/login", wrong)[0], 401)
            self.assertLess(time.monotonic() - asked, 0.5)
            status, headers, body = request(port, "/login", right)
            self.assertEqual((status, headers["Retry-After"]), (429, str(wait)), body)
            time.sleep(wait + 0.2)
        self.assertEqual(request(port, "/login", right)[0], 204)
        # Another address is not held back by this one's guesses.
        request(port, "/login", wrong)
        self.assertEqual(request(port, "/login", right, source="127.0.0.4")[0], 204)
        run.proc.send_signal(signal.SIGINT)
        run.wait(30)

        # A token file others can read is refused before anything is served.
        loose = self.token_file(0o644)
        refused = subprocess.run([os.path.join(bin_dir(), "tarvolo"), "station", "--ports", handsets[0].link,
                                  "--http", "%s:%d" % (HOST, free_port()), "--http-token-file", loose,
                                  self.image(4)[0]], capture_output=True, text=True, timeout=30)
        self.assertEqual(refused.returncode, 64)
        self.assertIn("chmod 600 " + loose, refused.stderr)


if __name__ == "__main__":
    import unittest
    unittest.main()
