#!/usr/bin/env python3
"""Soak run: many downloads in a row through tarvolo-handset, each with a random image, line
speed, mode, checksum kind, blank byte, block size and random faults.

For every download the outcome the protocol prescribes is known in advance and checked: the
exit code, the handset's flash on success, the time taken against the protocol's own time-outs,
the tool's open descriptors and peak memory. Exit status 0 when every download passed.

  bench/soak.py --count 1000 --seed 7            # the long run (release build: TARVOLO_BIN)
  bench/soak.py --seconds 100 --max-penalty 12   # the short run of the test command
Each download draws from random.Random("SEED-INDEX"): `--first INDEX --count 1` repeats one.
"""
import argparse
import collections
import json
import os
import random
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness  # noqa: E402

SPEEDS = (19200, 38400, 57600, 115200)

# Time-outs of the protocol, in seconds, and the 500 ms tick that notices them.
TICK = 0.5
EXCHANGE_TIMEOUT = 1.0
ERASE_TIMEOUT = 81.0
BLOCK_TIMEOUT = 10.0
CHECKSUM_TIMEOUT = 25.0
ABORT_TIMEOUT = 10.0

# Results of `tarvolo download`.
COMPLETED, MISMATCH, ABORT_ANSWERED, CHECKSUM_FAILED = 0, 2, 4, 6


# --- the image --------------------------------------------------------------------------------

def random_block(rng, size, escape):
    """One block of a random shape: blank, random bytes, runs, escape-heavy or one byte."""
    shape = rng.choices(("blank", "random", "runs", "escapes", "flat"), (20, 30, 25, 15, 10))[0]
    if shape == "blank":
        return bytes([0xFF]) * size, shape
    if shape == "random":
        return bytes(rng.getrandbits(8) for _ in range(size)), shape
    if shape == "flat":
        return bytes([rng.choice((escape, 0x00, rng.getrandbits(8) & 0xFE))]) * size, shape
    out = bytearray()
    specials = (escape, 0xFF, 0x00, 0x3C, 0x3E)
    while len(out) < size:
        if shape == "runs":
            value = rng.choice(specials) if rng.random() < 0.5 else rng.getrandbits(8)
            out += bytes([value]) * rng.randint(1, 300)
        else:
            out.append(escape if rng.random() < 0.5 else rng.getrandbits(8))
    block = bytes(out[:size])
    if block == bytes([0xFF]) * size:
        shape = "blank"
    return block, shape


def random_image(rng, speed):
    """(block size, blocks, tail): whole blocks worth up to about a second of line time."""
    block_size = min(8192, int(2 ** rng.uniform(0, 13.01)))
    budget = int(speed / 10 * rng.uniform(0.15, 1.0))
    count = max(1, min(48, budget // block_size))
    return block_size, count


# --- the faults -------------------------------------------------------------------------------

class Plan:
    """One download: its settings, the handset's arguments, the prescribed result and the
    longest time the protocol allows for it."""

    def __init__(self, rng, index, max_penalty, slow_rate):
        self.index = index
        self.speed = rng.choice(SPEEDS)
        self.mode = rng.choice(("erase", "normal"))
        self.protocol = "0" if self.mode == "erase" and rng.random() < 0.4 else "1"
        self.blank = 0xFF if rng.random() < 0.5 else rng.randrange(0, 255)
        escape = self.blank if self.blank != 0xFF else rng.randrange(0, 255)
        self.block_size, count = random_image(rng, self.speed)
        self.blocks, self.shapes = [], collections.Counter()
        for _ in range(count):
            block, shape = random_block(rng, self.block_size, escape)
            self.blocks.append(block)
            self.shapes[shape] += 1
        self.tail = b""
        if self.block_size > 1 and rng.random() < 0.4:
            self.tail = random_block(rng, rng.randint(1, self.block_size - 1), escape)[0]
        self.erase_ms = rng.choice((0, 50, 300)) if self.mode == "erase" else 0
        self.args = ["--block-size", self.block_size, "--blank", self.blank,
                     "--protocol", self.protocol, "--erase-ms", self.erase_ms,
                     "--seed", rng.getrandbits(32)]
        self.faults = {}            # option -> schedule text, for the log
        self.expected = COMPLETED
        self.penalty = 0.0          # seconds the faults may add at most
        self.least = 0.0            # seconds the scheduled time-outs take at least
        self._choose_faults(rng, max_penalty, slow_rate)

    @property
    def written(self):
        return sum(1 for b in self.blocks if b != bytes([0xFF]) * self.block_size)

    def add(self, option, schedule, penalty=0.0, least=0.0):
        key = option if option != "--silent" else "--silent " + schedule.split("=")[0]
        self.faults[key] = schedule
        self.args += [option, schedule] if schedule is not None else [option]
        self.penalty += penalty
        self.least += least

    def _choose_faults(self, rng, max_penalty, slow_rate):
        if rng.random() < 0.2:
            return
        quick = ["block-refusals", "wrong-block-numbers", "noise", "silent-inquiry",
                 "silent-parameter"]
        if self.mode == "erase":
            quick.append("erase-refusals")
        for kind in rng.sample(quick, rng.randint(1, 3)):
            self._quick_fault(rng, kind)
        if rng.random() < 0.25:
            self._ending_fault(rng, max_penalty)
        elif rng.random() < slow_rate:
            self._slow_fault(rng, max_penalty)

    def _block_schedule(self, rng):
        if rng.random() < 0.5:
            return "%d@%d" % (rng.randint(1, 3), rng.randint(1, max(1, self.written)))
        return "%.2f" % rng.uniform(0.05, 0.3)

    def _quick_fault(self, rng, kind):
        frame_time = (2 * self.block_size + 4) * 10 / self.speed + 0.05
        if kind == "erase-refusals":
            n = rng.randint(1, 6)
            self.add("--erase-refusals", str(n), n * (self.erase_ms / 1000 + 0.1))
        elif kind in ("block-refusals", "wrong-block-numbers"):
            schedule = self._block_schedule(rng)
            self.add("--" + kind, schedule, frame_time * (3 if "@" in schedule else self.written))
        elif kind == "noise":
            schedule = rng.choice(("%.2f" % rng.uniform(0.1, 0.9), str(rng.randint(1, 20)), "all"))
            size = rng.randint(1, 64)
            self.add("--noise", schedule, size * 10 / self.speed * (3 + len(self.blocks)))
            self.args += ["--noise-bytes", size]
        elif kind == "silent-inquiry":
            n = rng.randint(1, 100)
            self.add("--silent", "inquiry=%d" % n, n * 0.03)
        elif kind == "silent-parameter":
            n = rng.randint(1, 2)
            self.add("--silent", "parameter=%d" % n, n * (EXCHANGE_TIMEOUT + TICK + 0.2),
                     n * EXCHANGE_TIMEOUT)

    def _ending_fault(self, rng, max_penalty):
        """A fault that decides the result: refused completion, checksum mismatch, refused
        record; with an unanswered abort when the time allows."""
        kind = rng.choice(("completion", "checksum", "record", "normal-crc"))
        if kind == "normal-crc" and self.mode != "normal":
            kind = "record"
        unanswered = kind != "completion" and 2 * ABORT_TIMEOUT + 1 <= max_penalty and \
            rng.random() < 0.1
        if kind == "completion":
            self.add("--completion-refusals", "1")
            self.expected = CHECKSUM_FAILED
            return
        if kind == "checksum":
            self.add("--wrong-checksum", "1")
            failed = CHECKSUM_FAILED
        elif kind == "record":
            self.args += ["--product-id", "XQ99"]
            self.faults["--product-id"] = "XQ99"
            failed = MISMATCH
        else:
            self.protocol = "0"
            self.args[self.args.index("--protocol") + 1] = "0"
            self.faults["--protocol"] = "0 in normal mode"
            failed = MISMATCH
        self.expected = ABORT_ANSWERED
        if unanswered:
            self.add("--unanswered-abort", None, 2 * (ABORT_TIMEOUT + TICK), 2 * ABORT_TIMEOUT)
            self.expected = failed

    def _slow_fault(self, rng, max_penalty):
        """A fault that costs one of the long time-outs."""
        choices = [("drop-acks", BLOCK_TIMEOUT, 3), ("silent-block", BLOCK_TIMEOUT, 3),
                   ("silent-checksum", CHECKSUM_TIMEOUT, 1.5)]
        if self.mode == "erase":
            choices.append(("silent-erase", ERASE_TIMEOUT, 1))
        choices = [c for c in choices if c[1] + 1 <= max_penalty and
                   (self.written or c[0] not in ("drop-acks", "silent-block"))]
        if not choices:
            return
        kind, timeout, _ = rng.choices(choices, [c[2] for c in choices])[0]
        if kind == "drop-acks":
            self.add("--drop-acks", "1@%d" % rng.randint(1, self.written), timeout + TICK + 0.2)
        elif kind == "silent-block":
            self.add("--silent", "block=1@%d" % rng.randint(1, self.written), timeout + TICK + 0.2)
        elif kind == "silent-checksum":
            self.add("--silent", "checksum=1", timeout + TICK + 0.2, timeout)
        else:
            self.add("--silent", "erase=1", timeout + TICK + 0.2, timeout)

    def time_limit(self, slack):
        """The longest this download may take: line time of every frame (twice: the run-length
        encoding may double a block), the erase, what the faults add, and `slack` for starting
        the processes on a loaded machine."""
        line = (len(self.blocks) * (2 * self.block_size + 4) + 200) * 10 / self.speed
        per_frame = 0.03 * len(self.blocks)
        return line + per_frame + self.erase_ms / 1000 + 2 * TICK + self.penalty + slack

    def describe(self):
        return ("speed %d, %s, protocol %s, blank 0x%02X, %d x %d bytes%s, shapes %s, faults %s, "
                "expect %d" % (self.speed, self.mode, self.protocol, self.blank, len(self.blocks),
                               self.block_size, " + %d" % len(self.tail) if self.tail else "",
                               dict(self.shapes), self.faults or "none", self.expected))


# --- one download -----------------------------------------------------------------------------

def open_fds(pid):
    try:
        return len(os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return 0


def run_tool(cmd, workdir, limit):
    """Runs the tool, sampling its open descriptors; returns (exit code or None when it had
    to be killed, seconds, peak RSS in KiB, CPU seconds, most descriptors seen)."""
    out = open(os.path.join(workdir, "tool.out"), "w")
    start = time.monotonic()
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
    fds, code, usage = 0, None, None
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid:
            code = os.waitstatus_to_exitcode(status)
            break
        fds = max(fds, open_fds(proc.pid))
        if time.monotonic() - start > limit:
            proc.send_signal(signal.SIGKILL)
            _, status, usage = os.wait4(proc.pid, 0)
            break
        time.sleep(0.02)
    proc.returncode = code if code is not None else -9
    out.close()
    return code, time.monotonic() - start, usage.ru_maxrss, usage.ru_utime + usage.ru_stime, fds


class Tally:
    def __init__(self):
        self.downloads = 0
        self.outcomes = collections.Counter()
        self.faults = collections.Counter()
        self.shapes = collections.Counter()
        self.block_sizes = []
        self.failures = []
        self.corrupted = 0
        self.hangs = 0
        self.too_slow = 0
        self.too_fast = 0
        self.wrong_result = 0
        self.violations = 0
        self.violation_kinds = collections.Counter()
        self.rss = []
        self.fds = []
        self.cpu = 0.0
        self.wall = 0.0
        self.bytes_flashed = 0

    def fail(self, plan, what, workdir=None):
        text = "download #%d: %s [%s]" % (plan.index, what, plan.describe())
        if workdir:
            with open(os.path.join(workdir, "tool.out")) as f:
                text += "\n  tool: " + f.read()[-1500:].replace("\n", "\n  tool: ")
        self.failures.append(text)
        print("FAIL " + text, flush=True)


def one_download(plan, tally, slack, log):
    with harness.WorkDir() as workdir:
        release = os.path.join(workdir, "image.rel")
        image = harness.make_release(release, plan.blocks, tail=plan.tail)
        handset = harness.Handset(workdir, "--exit-after-download", "--linger-ms", 60000,
                                  *plan.args, image_blocks=len(plan.blocks))
        with handset:
            cmd = [os.path.join(harness.bin_dir(), "tarvolo"), "download", "--port", handset.link,
                   "--speed", plan.speed, "--mode", plan.mode, "--give-up-after", 30, release]
            limit = plan.time_limit(slack)
            code, seconds, rss, cpu, fds = run_tool([str(c) for c in cmd], workdir, limit + 30)
            try:
                handset.proc.wait(10)
            except subprocess.TimeoutExpired:
                tally.fail(plan, "the handset did not end after the tool had closed the port")
            handset.stop()
            check(plan, tally, handset, workdir, image, (code, seconds, rss, cpu, fds), limit)
    if log:
        log.write("#%d %.2fs exit %s rss %dK fds %d cpu %.2fs: %s\n"
                  % (plan.index, seconds, code, rss, fds, cpu, plan.describe()))


def check(plan, tally, handset, workdir, image, measured, limit):
    code, seconds, rss, cpu, fds = measured
    tally.downloads += 1
    tally.outcomes[code if code is not None else "hang"] += 1
    tally.shapes.update(plan.shapes)
    tally.block_sizes.append(plan.block_size)
    tally.rss.append(rss)
    tally.fds.append(fds)
    tally.cpu += cpu
    tally.wall += seconds
    report = handset.report() if os.path.exists(handset.report_path) else {}
    tally.faults.update(report.get("faults", {}))
    tally.violations += report.get("violationCount", 0)
    for v in report.get("violations", []):
        tally.violation_kinds[v["what"].split(" while")[0].split(":")[0]] += 1
    if code is None:
        tally.hangs += 1
        tally.fail(plan, "no result after %.1f s: killed" % seconds, workdir)
        return
    if code != plan.expected:
        tally.wrong_result += 1
        tally.fail(plan, "exit %d, expected %d" % (code, plan.expected), workdir)
    if code == COMPLETED:
        flash = handset.flash_bytes() if os.path.exists(handset.flash) else b""
        if flash != image:
            tally.corrupted += 1
            tally.fail(plan, "the handset's flash differs from the image (%d of %d bytes)"
                       % (len(flash), len(image)), workdir)
        else:
            tally.bytes_flashed += len(image)
    if seconds > limit:
        tally.too_slow += 1
        tally.fail(plan, "took %.1f s, the time-outs allow %.1f s" % (seconds, limit), workdir)
    if seconds < plan.least - TICK:
        tally.too_fast += 1
        tally.fail(plan, "took %.1f s, the time-outs need %.1f s" % (seconds, plan.least), workdir)


# --- the run ----------------------------------------------------------------------------------

def growth_problems(tally):
    """Descriptors must stay within a few of one count; peak memory of the last fifth of the downloads must
    not exceed the first fifth's by more than a tenth (each download is a new process, so a
    difference would come from what a download leaves behind on the machine)."""
    problems = []
    fds = sorted(set(tally.fds))
    # Each download is a process of its own, sampled every 20 ms: a file it opens for a moment
    # (the image, the settings, the sanitizer's own reads) is seen in some downloads and not in
    # others. A descriptor left open per retry or per block grows past that spread.
    if len(fds) > 1 and fds[-1] - fds[0] > 3:
        problems.append("the tool's open descriptors varied: %s" % fds)
    fifth = max(1, len(tally.rss) // 5)
    if len(tally.rss) >= 10:
        first, last = max(tally.rss[:fifth]), max(tally.rss[-fifth:])
        if last > first * 1.1 + 1024:
            problems.append("peak memory grew: %d KiB in the first fifth, %d KiB in the last"
                            % (first, last))
    return problems


def summary(tally, args, elapsed, own_fds):
    return {
        "command": " ".join(sys.argv),
        "downloads": tally.downloads,
        "seconds": round(elapsed, 1),
        "outcomes": {str(k): v for k, v in sorted(tally.outcomes.items(), key=str)},
        "faultsInjected": dict(sorted(tally.faults.items())),
        "blockShapes": dict(sorted(tally.shapes.items())),
        "blockSizes": [min(tally.block_sizes or [0]), max(tally.block_sizes or [0])],
        "bytesFlashedAndVerified": tally.bytes_flashed,
        "wrongResults": tally.wrong_result,
        "corruptedFlashes": tally.corrupted,
        "hangs": tally.hangs,
        "overTimeLimit": tally.too_slow,
        "underTimeOuts": tally.too_fast,
        "handsetViolations": tally.violations,
        "handsetViolationKinds": dict(tally.violation_kinds),
        "peakRssKiB": max(tally.rss or [0]),
        "minPeakRssKiB": min(tally.rss or [0]),
        "toolFdsSeen": sorted(set(tally.fds)),
        "toolCpuSeconds": round(tally.cpu, 2),
        "toolWallSeconds": round(tally.wall, 1),
        "soakFds": own_fds,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=0, help="downloads (0: until --seconds)")
    parser.add_argument("--seconds", type=float, default=0, help="start no download after this")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--first", type=int, default=0, help="index of the first download")
    parser.add_argument("--max-penalty", type=float, default=100,
                        help="leave out faults whose time-outs cost more seconds than this")
    parser.add_argument("--slow-rate", type=float, default=0.08,
                        help="share of downloads with one long time-out (dropped ack, silence)")
    parser.add_argument("--slack", type=float, default=8,
                        help="seconds allowed beyond the protocol's times (process start, load)")
    parser.add_argument("--log", help="one line per download here")
    parser.add_argument("--json", help="the figures, as JSON, here")
    args = parser.parse_args()
    if not args.count and not args.seconds:
        args.count = 100

    tally = Tally()
    log = open(args.log, "w") if args.log else None
    own_fds = [open_fds(os.getpid())]
    start = time.monotonic()
    index = args.first
    while True:
        if args.count and index - args.first >= args.count:
            break
        if args.seconds and time.monotonic() - start >= args.seconds:
            break
        plan = Plan(random.Random("%d-%d" % (args.seed, index)), index, args.max_penalty,
                    args.slow_rate)
        one_download(plan, tally, args.slack, log)
        index += 1
        if index % 50 == 0:
            print("%d downloads, %.0f s, %d failures" % (tally.downloads, time.monotonic() - start,
                                                           len(tally.failures)), flush=True)
            if log:
                log.flush()
    own_fds.append(open_fds(os.getpid()))
    problems = growth_problems(tally)
    if own_fds[1] > own_fds[0]:
        problems.append("the soak itself kept descriptors open: %s" % own_fds)
    figures = summary(tally, args, time.monotonic() - start, own_fds)
    figures["problems"] = problems
    text = json.dumps(figures, indent=2)
    print(text)
    if args.json:
        with open(args.json, "w") as f:
            f.write(text + "\n")
    for p in problems:
        print("FAIL " + p)
    ok = not tally.failures and not problems and tally.downloads > 0
    print("soak: %s" % ("passed" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
