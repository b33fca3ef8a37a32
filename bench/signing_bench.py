"""Signed releases: the time to verify a 1 MiB and a 64 MiB release with `tarvolo release
verify` (process start included; wall and CPU time, medians), minisign's own for comparison,
and a station's pre-flight (until it finds no port: exit 10) with and without --trusted-keys.
    python3 bench/signing_bench.py build/release/bin/tarvolo
It works in /tmp/tarvolo-signing-bench (releases of random bytes, a key, made once), or in
--work DIR. The test command's brief run: --big-mib 2 --runs 1 --work DIR."""
import argparse
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


def prepare(tarvolo, work, big_mib):
    os.makedirs(os.path.join(work, "keys"), exist_ok=True)
    os.chdir(work)
    for name, size in (("one.rel", 1 << 20), ("big.rel", big_mib << 20)):
        if os.path.exists(name) and os.path.getsize(name) != size:
            os.remove(name)
        if not os.path.exists(name):
            with open(name, "wb") as f:
                f.write(b"KM52" + os.urandom(size - 4))
    if not os.path.exists("q.key"):
        subprocess.run([tarvolo, "release", "keygen", "--key", "q.key", "--pubkey", "keys/q.pub"], check=True)
    for name in ("one.rel", "big.rel"):
        subprocess.run([tarvolo, "release", "sign", name, "--key", "q.key"], check=True, capture_output=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("tarvolo")
    parser.add_argument("--big-mib", type=int, default=64, help="the larger release's size (default 64)")
    parser.add_argument("--runs", type=int, default=7, help="runs per median of the larger release (default 7)")
    parser.add_argument("--work", default=WORK)
    a = parser.parse_args()
    tarvolo = os.path.abspath(a.tarvolo)
    prepare(tarvolo, a.work, a.big_mib)
    runs = a.runs
    for name, mib, count in (("one.rel", 1, 3 * runs), ("big.rel", a.big_mib, runs)):
        for tool, args in (("tarvolo", (tarvolo, "release", "verify", name, "--pubkey", "keys/q.pub")),
                           ("minisign", ("minisign", "-Vq", "-m", name, "-p", "keys/q.pub"))):
            wall, cpu = medians(count, *args)
            print("verify %2d MiB  %-8s  %7.1f ms wall (%4.0f MiB/s)  %6.1f ms CPU (%4.0f MiB/s)"
                  % (mib, tool, wall, mib * 1000 / wall, cpu, mib * 1000 / cpu))
    for name in ("one.rel", "big.rel"):
        station = (tarvolo, "station", "--ports", "/dev/no-such-port", "--log", "s.db")
        plain = medians(runs, *station, name, codes=(10,))
        signed = medians(runs, *station, "--trusted-keys", "keys", name, codes=(10,))
        print("station pre-flight, %s: plain %.1f ms wall / %.1f ms CPU; --trusted-keys %.1f ms wall / %.1f ms CPU"
              % ((name,) + plain + signed))


if __name__ == "__main__":
    main()
