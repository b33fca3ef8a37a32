#!/usr/bin/env python3
"""What a USB adapter's latency timer costs a download: a 64 KiB image written at 115200
bits/s into `tarvolo-handset` playing no adapter, an adapter whose timer is 16 ms (an FTDI
chip's default) and one at 1 ms (--adapter-latency-ms), each compared with the wire limit of
the image (bytes x 10 / 115200 s).

Per case: the transfer (first write frame sent to last acknowledgement received, from the
trace; the median of --runs downloads, taken in turns so that a busy moment of the machine
does not fall on one case only), the whole download's wall time, the ratio of the wire limit to the transfer, and the
time each block's acknowledgement waited on top of the case without an adapter.

It measures, it does not test: it is not part of the test command. Run it on a release build:
    scripts/build.sh release tarvolo tarvolo-handset && python3 bench/latency_bench.py
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
sys.path.insert(0, HERE)

import harness  # noqa: E402  (the end-to-end tests' process helpers)
from download_bench import exchanges, read_trace  # noqa: E402

SPEED = 115200
CASES = (None, 16, 1)  # the adapter's latency timer in ms; None: no adapter


def run_case(workdir, release, image, latency, args):
    trace = os.path.join(workdir, "trace-%s.txt" % (latency if latency is not None else "none"))
    handset_args = ["--exit-after-download", "--turnaround-ms", args.turnaround_ms, "--erase-ms", 10,
                    "--block-size", args.block_size]
    if latency is not None:
        handset_args += ["--adapter-latency-ms", latency]
    with harness.Handset(workdir, *handset_args, image_blocks=len(image) // args.block_size) as handset:
        command = [os.path.join(args.bin, "tarvolo"), "download", "--port", handset.link, "--speed", str(SPEED),
                   "--mode", "erase", "--trace", trace, release]
        started = time.monotonic()
        proc = subprocess.run(command, cwd=workdir, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, text=True, timeout=300)
        wall = time.monotonic() - started
        if proc.returncode != 0:
            raise RuntimeError("download with latency %s failed (exit %d): %s" % (latency, proc.returncode, proc.stderr))
        handset.stop()
        if handset.flash_bytes()[:len(image)] != image:
            raise RuntimeError("download with latency %s: the handset's flash differs from the image" % latency)
    found = exchanges(read_trace(trace))
    transfer = found[-1]["acked"] - found[0]["sent"]
    return {"latency": latency, "blocks": len(found), "transfer_s": transfer, "wall_s": wall}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", default=os.path.join(TOP, "build", "release", "bin"),
                        help="folder of tarvolo and tarvolo-handset (default: build/release/bin)")
    parser.add_argument("--size", type=int, default=64 * 1024, help="image bytes (default 65536)")
    parser.add_argument("--block-size", type=int, default=1024, help="handset block size (default 1024)")
    parser.add_argument("--turnaround-ms", type=float, default=2.0, help="handset turnaround (default 2)")
    parser.add_argument("--runs", type=int, default=3, help="downloads per case; the median is shown (default 3)")
    args = parser.parse_args()
    args.bin = os.path.abspath(args.bin)
    os.environ["TARVOLO_BIN"] = args.bin
    for tool in ("tarvolo", "tarvolo-handset"):
        if not os.access(os.path.join(args.bin, tool), os.X_OK):
            sys.exit("latency_bench: %s not found in %s (scripts/build.sh release first)" % (tool, args.bin))
    rng = random.Random(7)
    blocks = [bytes(rng.getrandbits(8) for _ in range(args.block_size)) for _ in range(args.size // args.block_size)]
    image = b"".join(blocks)
    wire = len(image) * 10.0 / SPEED
    runs = {latency: [] for latency in CASES}
    with harness.WorkDir() as workdir:
        release = os.path.join(workdir, "bench.rel")
        harness.make_release(release, blocks)
        for _ in range(args.runs):
            for latency in CASES:
                runs[latency].append(run_case(workdir, release, image, latency, args))
                print("adapter %s: %.3f s" % (latency, runs[latency][-1]["transfer_s"]), file=sys.stderr)
    results = [sorted(runs[latency], key=lambda r: r["transfer_s"])[len(runs[latency]) // 2] for latency in CASES]
    base = results[0]
    print("Image: %d bytes in %d blocks of %d at %d bits/s; wire limit %.3f s (bytes x 10 / %d); handset "
          "turnaround %.3g ms; median of %d runs" % (len(image), base["blocks"], args.block_size, SPEED, wire, SPEED,
                                                    args.turnaround_ms, args.runs))
    print()
    print("| Adapter latency timer | Transfer s | Whole run s | Wire limit / transfer | Added per block ms |")
    print("|---|---|---|---|---|")
    for r in results:
        added = (r["transfer_s"] - base["transfer_s"]) * 1000.0 / r["blocks"]
        print("| %s | %.3f | %.2f | %.1f%% | %s |" % ("none" if r["latency"] is None else "%d ms" % r["latency"],
                                                     r["transfer_s"], r["wall_s"], 100 * wire / r["transfer_s"],
                                                     "-" if r is base else "%.1f" % added))
    print()
    print("Machine: %d cores, load average %.1f" % (os.cpu_count(), os.getloadavg()[0]))


if __name__ == "__main__":
    main()
