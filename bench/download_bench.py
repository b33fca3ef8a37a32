#!/usr/bin/env python3
"""Download throughput through the paced virtual handset, at each line speed.

Writes one image into `tarvolo-handset` with `tarvolo download --trace` at 19200, 38400,
57600 and 115200 bits/s and reports, per speed:
  - image bytes per second over the transfer (first write frame sent to last acknowledgement
    received), and the whole download's wall time;
  - the ratio of the protocol's limit to the transfer's real time. The limit is what the write
    frames and their acknowledgements need on the line (10 bits per byte at the speed) plus the
    handset's turnaround once per exchange, all taken from the bytes the trace shows; the time
    lost against the limit is split into the host's turnarounds and the rest (the handset's
    pacing, both processes waiting for a core);
  - the CPU time (user + system) of the `tarvolo` process over the whole run, and its share of
    one core;
  - the host's own turnaround per block: from the trace line of the acknowledgement's last
    byte received to the trace line of the next frame sent (p50, p99, max).

It measures, it does not test: it is not part of the test command. Run it on a release build:
    scripts/build.sh release && python3 bench/download_bench.py
"""
import argparse
import os
import random
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))

import harness  # noqa: E402  (the end-to-end tests' process helpers)

SPEEDS = (19200, 38400, 57600, 115200)
TARGET_RATIO = 0.98
TARGET_CPU = 0.05
TARGET_P99_MS = 1.0
WRITE_FRAME = (0x3C, 0x77)  # "<w"
ACK = (0x3E, 0x77)          # ">w", then the block number (2 bytes)
ACK_LENGTH = 4


def mixed_image(size, block_size, blank, seed=7):
    """`size` bytes in blocks of four kinds: random, short runs, text-like, and every 16th
    block all blank (sent as no frame at all)."""
    rng = random.Random(seed)
    words = [b"tarvolo ", b"flash ", b"handset ", b"block ", b"\x00\x00", b"\xff\xff\xff"]
    blocks = []
    for index in range((size + block_size - 1) // block_size):
        kind = index % 16
        if kind == 5:
            block = bytes([blank]) * block_size
        elif kind % 3 == 0:
            block = bytes(rng.getrandbits(8) for _ in range(block_size))
        elif kind % 3 == 1:
            block = b"".join(bytes([rng.choice((0, 0x55, 0xAA, 0x3C))]) * rng.randint(1, 48)
                             for _ in range(block_size))[:block_size]
        else:
            block = b"".join(rng.choice(words) for _ in range(block_size))[:block_size]
        blocks.append(block)
    blocks[-1] = blocks[-1][:size - block_size * (len(blocks) - 1)]
    return blocks


def read_trace(path):
    """The trace's chunks as (seconds, 'TX' or 'RX', speed, bytes)."""
    chunks = []
    with open(path) as f:
        for line in f:
            fields = line.split()
            if len(fields) < 4 or fields[1] not in ("TX", "RX"):
                continue
            chunks.append((float(fields[0]), fields[1], int(fields[2]),
                           bytes(int(b, 16) for b in fields[3:])))
    # A frame's line is written once its write returned, with the time the write began.
    chunks.sort(key=lambda chunk: chunk[0])
    return chunks


def exchanges(chunks):
    """Each write frame with its acknowledgement: (frame sent at, frame bytes, speed,
    acknowledgement's last byte received at, acknowledgement bytes), plus the time of the
    frame sent after each acknowledgement (the checksum frame after the last one)."""
    found = []
    pending = None    # the write frame waiting for its acknowledgement
    heard = b""       # what arrived since it was sent
    for seconds, direction, speed, data in chunks:
        if direction == "TX":
            if found and found[-1]["next_sent"] is None and found[-1]["acked"] is not None:
                found[-1]["next_sent"] = seconds
            if tuple(data[:2]) == WRITE_FRAME:
                pending = {"sent": seconds, "frame": len(data), "speed": speed,
                           "acked": None, "ack": 0, "next_sent": None}
                found.append(pending)
                heard = b""
            continue
        if pending is None:
            continue
        heard += data
        at = heard.find(bytes(ACK))
        if at >= 0 and len(heard) >= at + ACK_LENGTH:
            pending["acked"] = seconds
            pending["ack"] = ACK_LENGTH
            pending = None
    return [e for e in found if e["acked"] is not None]


def percentile(values, share):
    """Nearest-rank percentile of a non-empty list."""
    ordered = sorted(values)
    rank = max(1, min(len(ordered), int(-(-share * len(ordered) // 1))))
    return ordered[rank - 1]


def run_download(workdir, release, speed, args, image_blocks, image):
    """One download at `speed`. Returns the measurements, or raises on a failed download."""
    trace = os.path.join(workdir, "trace-%d.txt" % speed)
    handset_args = ["--exit-after-download", "--turnaround-ms", args.turnaround_ms,
                    "--erase-ms", args.erase_ms, "--block-size", args.block_size,
                    "--blank", "0x%02X" % args.blank, "--protocol", args.protocol]
    with harness.Handset(workdir, *handset_args, image_blocks=image_blocks) as handset:
        command = [os.path.join(args.bin, "tarvolo"), "download", "--port", handset.link,
                   "--speed", str(speed), "--mode", "erase", "--trace", trace, release]
        started = time.monotonic()
        proc = subprocess.Popen(command, cwd=workdir, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.monotonic() - started
        proc.returncode = os.waitstatus_to_exitcode(status)
        errors = proc.stderr.read().decode(errors="replace")
        proc.stderr.close()
        if proc.returncode != 0:
            raise RuntimeError("download at %d failed (exit %d): %s" % (speed, proc.returncode, errors))
        handset.stop()
        report = handset.report()
        if handset.flash_bytes()[:len(image)] != image:
            raise RuntimeError("download at %d: the handset's flash differs from the image" % speed)

    found = exchanges(read_trace(trace))
    if not found:
        raise RuntimeError("download at %d: no write frame in the trace" % speed)
    transfer = found[-1]["acked"] - found[0]["sent"]
    turnaround = args.turnaround_ms / 1000.0
    limit = sum((e["frame"] + e["ack"]) * 10.0 / e["speed"] + turnaround for e in found)
    host_turns = [(e["next_sent"] - e["acked"]) * 1000.0 for e in found if e["next_sent"] is not None]
    # Time lost to the host inside the transfer window: the turnarounds before each next frame.
    host_lost = sum(t for t in host_turns[:len(found) - 1]) / 1000.0
    cpu = usage.ru_utime + usage.ru_stime
    return {
        "speed": speed,
        "frames": len(found),
        "retries": sum(report.get("retries", {}).values()) if isinstance(report.get("retries"), dict)
                   else report.get("retries", 0),
        "violations": report.get("violationCount", 0),
        "transfer_s": transfer,
        "limit_s": limit,
        "ratio": limit / transfer,
        "host_lost_s": host_lost,
        "image_bps": len(image) / transfer,
        "wall_s": wall,
        "cpu_s": cpu,
        "cpu_share": cpu / wall,
        "turn_p50_ms": percentile(host_turns, 0.50),
        "turn_p99_ms": percentile(host_turns, 0.99),
        "turn_max_ms": max(host_turns),
    }


def print_table(results, args, image_bytes, line_bytes):
    print("Image: %d bytes, block size %d, blank byte 0x%02X, %d write frames (%d payload+header bytes); "
          "handset turnaround %.3g ms, erase %.3g ms"
          % (image_bytes, args.block_size, args.blank, results[0]["frames"], line_bytes,
             args.turnaround_ms, args.erase_ms))
    print()
    print("| Speed | Image B/s | Transfer s | Limit s | Ratio | Lost s: host / rest | Whole run s | CPU s "
          "| CPU % of a core | Host turnaround p50 / p99 / max ms |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for r in results:
        lost = r["transfer_s"] - r["limit_s"]
        print("| %d | %.0f | %.3f | %.3f | %.2f%% | %.3f / %.3f | %.2f | %.3f | %.2f%% | %.3f / %.3f / %.3f |"
              % (r["speed"], r["image_bps"], r["transfer_s"], r["limit_s"], 100 * r["ratio"],
                 r["host_lost_s"], lost - r["host_lost_s"], r["wall_s"],
                 r["cpu_s"], 100 * r["cpu_share"], r["turn_p50_ms"], r["turn_p99_ms"], r["turn_max_ms"]))
    print()
    misses = []
    for r in results:
        if r["ratio"] < TARGET_RATIO:
            misses.append("%d: %.2f%% of the limit (target %.0f%%)" % (r["speed"], 100 * r["ratio"], 100 * TARGET_RATIO))
        if r["cpu_share"] >= TARGET_CPU:
            misses.append("%d: CPU %.2f%% of a core (target under %.0f%%)" % (r["speed"], 100 * r["cpu_share"], 100 * TARGET_CPU))
        if r["turn_p99_ms"] >= TARGET_P99_MS:
            misses.append("%d: p99 host turnaround %.3f ms (target under %.0f ms)" % (r["speed"], r["turn_p99_ms"], TARGET_P99_MS))
        if r["retries"] or r["violations"]:
            misses.append("%d: the handset saw %s retries and %s protocol violations" % (r["speed"], r["retries"], r["violations"]))
    print("Targets missed: " + ("; ".join(misses) if misses else "none"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", default=os.path.join(TOP, "build", "release", "bin"),
                        help="folder of tarvolo and tarvolo-handset (default: build/release/bin)")
    parser.add_argument("--size", type=int, default=64 * 1024, help="image bytes (default 65536)")
    parser.add_argument("--block-size", type=int, default=1024, help="handset block size (default 1024)")
    parser.add_argument("--blank", type=lambda v: int(v, 0), default=0xFF,
                        help="handset blank byte; 0xFF sends raw payloads, others run-length encode (default 0xFF)")
    parser.add_argument("--protocol", default="1", choices=("0", "1"), help="0 CRC-16, 1 byte sum (default 1)")
    parser.add_argument("--turnaround-ms", type=float, default=2.0, help="handset turnaround (default 2)")
    parser.add_argument("--erase-ms", type=float, default=10.0, help="handset erase time (default 10)")
    parser.add_argument("--speeds", type=int, nargs="+", default=list(SPEEDS), choices=SPEEDS)
    parser.add_argument("--keep", metavar="DIR", help="keep the traces, reports and release file in DIR")
    parser.add_argument("--realtime", action="store_true",
                        help="run the handset and tarvolo with real-time priority (SCHED_FIFO 10; needs root "
                             "or CAP_SYS_NICE): measures the software rather than the other loads of the machine")
    args = parser.parse_args()
    args.bin = os.path.abspath(args.bin)
    os.environ["TARVOLO_BIN"] = args.bin
    for tool in ("tarvolo", "tarvolo-handset"):
        if not os.access(os.path.join(args.bin, tool), os.X_OK):
            sys.exit("download_bench: %s not found in %s (scripts/build.sh release first)" % (tool, args.bin))

    if args.realtime:
        try:
            # Inherited by the handset and tarvolo; neither spins, so neither can starve the machine.
            os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(10))
        except PermissionError:
            sys.exit("download_bench: --realtime needs root or CAP_SYS_NICE")
    load_before = os.getloadavg()[0]
    blocks = mixed_image(args.size, args.block_size, args.blank)
    whole = [b for b in blocks if len(b) == args.block_size]
    image = b"".join(whole)  # the handset keeps whole blocks only
    results = []
    line_bytes = 0
    with harness.WorkDir() as scratch:
        workdir = os.path.abspath(args.keep) if args.keep else scratch
        os.makedirs(workdir, exist_ok=True)
        release = os.path.join(workdir, "bench.rel")
        harness.make_release(release, blocks)
        for speed in args.speeds:
            result = run_download(workdir, release, speed, args, len(whole), image)
            results.append(result)
            print("%6d bits/s: %.2f%% of the limit, %.0f image B/s" % (speed, 100 * result["ratio"], result["image_bps"]),
                  file=sys.stderr)
        found = exchanges(read_trace(os.path.join(workdir, "trace-%d.txt" % args.speeds[-1])))
        line_bytes = sum(e["frame"] for e in found)
    print_table(results, args, len(image), line_bytes)
    print("Machine: %d cores, load average %.1f before and %.1f after%s"
          % (os.cpu_count(), load_before, os.getloadavg()[0], "; real-time priority" if args.realtime else ""))


if __name__ == "__main__":
    main()
