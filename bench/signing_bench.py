"""Signed releases: the time to verify a 1 MiB and a 64 MiB release with `tarvolo release
verify` (process start included; wall and CPU time, medians), minisign's own for comparison,
and a station's pre-flight (until it finds no port: exit 10) with and without --trusted-keys.
    python3 bench/signing_bench.py build/release/bin/tarvolo
It works in /tmp/tarvolo-signing-bench (releases of random bytes, a key, made once)."""
import os
import statistics
import subprocess
import sys
import time

WORK = "/tmp/tarvolo-signing-bench"


def timed(*args):
    """Runs a command; returns (exit code, wall seconds, CPU seconds)."""
    start = time.perf_counter()
    proc = subprocess.Popen([str(a) for a in args], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    return os.waitstatus_to_exitcode(status), time.perf_counter() - start, usage.ru_utime + usage.ru_stime


def medians(runs, *args, codes=(0,)):
    """Median wall and CPU milliseconds of `runs` runs."""
    walls, cpus = [], []
    for _ in range(runs):
        code, wall, cpu = timed(*args)
        if code not in codes:
            sys.exit("%s ended with %d" % (" ".join(map(str, args)), code))
        walls.append(wall)
        cpus.append(cpu)
    return statistics.median(walls) * 1000, statistics.median(cpus) * 1000


def prepare(tarvolo):
    os.makedirs(os.path.join(WORK, "keys"), exist_ok=True)
    os.chdir(WORK)
    for name, size in (("one.rel", 1 << 20), ("big.rel", 64 << 20)):
        if not os.path.exists(name):
            with open(name, "wb") as f:
                f.write(b"KM52" + os.urandom(size - 4))
    if not os.path.exists("q.key"):
        subprocess.run([tarvolo, "release", "keygen", "--key", "q.key", "--pubkey", "keys/q.pub"], check=True)
    for name in ("one.rel", "big.rel"):
        subprocess.run([tarvolo, "release", "sign", name, "--key", "q.key"], check=True, capture_output=True)


def main(tarvolo):
    tarvolo = os.path.abspath(tarvolo)
    prepare(tarvolo)
    for name, mib, runs in (("one.rel", 1, 21), ("big.rel", 64, 7)):
        for tool, args in (("tarvolo", (tarvolo, "release", "verify", name, "--pubkey", "keys/q.pub")),
                           ("minisign", ("minisign", "-Vq", "-m", name, "-p", "keys/q.pub"))):
            wall, cpu = medians(runs, *args)
            print("verify %2d MiB  %-8s  %7.1f ms wall (%4.0f MiB/s)  %6.1f ms CPU (%4.0f MiB/s)"
                  % (mib, tool, wall, mib * 1000 / wall, cpu, mib * 1000 / cpu))
    for name in ("one.rel", "big.rel"):
        station = (tarvolo, "station", "--ports", "/dev/no-such-port", "--log", "s.db")
        plain = medians(7, *station, name, codes=(10,))
        signed = medians(7, *station, "--trusted-keys", "keys", name, codes=(10,))
        print("station pre-flight, %s: plain %.1f ms wall / %.1f ms CPU; --trusted-keys %.1f ms wall / %.1f ms CPU"
              % ((name,) + plain + signed))


if __name__ == "__main__":
    main(sys.argv[1])
