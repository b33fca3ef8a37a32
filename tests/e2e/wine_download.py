"""The Windows build's `ports` and `download` under Wine, over COM1 and COM12, against the
native virtual handset.

Run by scripts/wine-tests.sh, which has mapped COM1 and COM12 to WORKDIR/ttyHANDSET (the
symlink the handset keeps) before Wine's server started. TARVOLO_BIN names the folder of the
native tarvolo-handset.
    wine_download.py WORKDIR TARVOLO-CLI.EXE [--one]
Exit status 0 when `ports` listed both ports free and every download completed with the image
in the handset's flash. With --one, only the first download over COM1 (the installed program,
TARVOLO-CLI.EXE being then the name the PATH finds: scripts/wine-installer-tests.sh).
"""
import json
import os
import subprocess
import sys
import time

from e2e_case import host_violations
from harness import Handset, json_events, last_texts, make_release

BS = 1024


def data_block(seed):
    return bytes((seed * 31 + i * 7) % 251 for i in range(BS))


def crc_x25(image):
    crc = 0xFFFF
    for b in image:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return crc ^ 0xFFFF


SCENARIOS = [
    # name, port, handset options, download options, blocks, checksum
    ("erase mode, CRC, 115200 bit/s", "COM1", ["--protocol", "0"], ["--mode", "erase", "--speed", "115200"],
     [data_block(0), data_block(1), b"\xff" * BS, data_block(3), data_block(4)], crc_x25),
    ("normal mode, byte sum, escape byte 0x00, 38400 bit/s", "COM1", ["--protocol", "1", "--blank", "0"],
     ["--mode", "normal", "--speed", "38400"],
     [b"A" * 300 + b"\x00" * 5 + data_block(5)[:BS - 305], b"\x00" * BS, data_block(6)],
     lambda image: sum(image) & 0xFFFF),
    # Short frames answered at once: the answer comes before Wine reports the frame sent.
    # Nothing may be lost to that (a lost block answer costs a 10 s retry).
    ("60 blocks of 64 bytes answered at once, 115200 bit/s", "COM1",
     ["--block-size", "64", "--turnaround-ms", "0", "--protocol", "0"],
     ["--mode", "erase", "--speed", "115200"],
     [bytes((n * 13 + i) % 251 for i in range(64)) for n in range(60)], crc_x25),
    # A port above COM9: opened by its device name \\.\COM12.
    ("erase mode over COM12, CRC, 115200 bit/s", "COM12", ["--protocol", "0"],
     ["--mode", "erase", "--speed", "115200"], [data_block(7), data_block(8)], crc_x25),
]


# Wine with the loader that suits the build under test (scripts/wine.sh, named by
# scripts/wine-tests.sh): Debian's plain `wine` needs a kernel that runs 32-bit programs.
WINE = os.environ.get("TARVOLO_WINE", "wine")


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run(work, exe, name, port, handset_args, download_args, blocks, checksum):
    release = os.path.join(work, "image.rel")
    image = make_release(release, blocks, tail=b"\x01\x02\x03")
    problems = []
    with Handset(work, "--log", *handset_args, image_blocks=len(blocks)) as handset:
        started = time.monotonic()
        trace = os.path.join(work, "line.trace")
        cmd = [WINE, exe, "download", "--port", port, "--json", "--trace", windows_path(trace)]
        cmd += download_args + [windows_path(release)]
        with open(os.path.join(work, "wine.log"), "w") as log:
            try:
                proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                      stderr=log, text=True, timeout=60)
            except subprocess.TimeoutExpired as expired:
                # Wine's process is gone with its server; show what the line carried.
                proc = subprocess.CompletedProcess(cmd, -1, expired.stdout or "", "")
                if isinstance(proc.stdout, bytes):
                    proc.stdout = proc.stdout.decode(errors="replace")
                subprocess.run(["wineserver", "-k"], check=False)
        seconds = time.monotonic() - started
        events = json_events(proc.stdout)
        texts = last_texts(events)
        handset.stop()
        if proc.returncode != 0:
            problems.append("exit %d: %r" % (proc.returncode, texts))
        want = "\nDownload completed OK. Checksum %04X\r\n" % checksum(image)
        if not texts["advice"].startswith(want):
            problems.append("advice line %r, expected it to start with %r" % (texts["advice"], want))
        try:
            if handset.flash_bytes() != image:
                problems.append("the handset's flash differs from the image")
            report = handset.report()
        except OSError as error:
            problems.append("no flash or report from the handset: %s" % error)
            report = {"violations": [], "retries": {}}
        lost = {k: v for k, v in report["retries"].items() if k in ("write", "checksum")}
        if lost:
            problems.append("answers lost, frames repeated: %s" % lost)
        if host_violations(report):
            problems.append("the handset saw: %s" % host_violations(report))
        # Timing artefacts of a loaded machine: shown, not failed.
        for v in report["violations"]:
            if v["what"] not in host_violations(report):
                print("  note: the handset saw: %s" % v["what"])
    verdict = "ok" if not problems else "FAILED"
    print("%s: %s in %.1f s with Wine's start (exit %d, frames repeated: %s)"
          % (name, verdict, seconds, proc.returncode, report["retries"] or "none"))
    for p in problems:
        print("  " + p)
    if problems:
        print(proc.stdout[-3000:])
        for name, path in (("trace", trace), ("handset log", handset.stderr.name)):
            if os.path.exists(path):
                with open(path) as f:
                    print("--- %s (last 40 lines)\n%s" % (name, "".join(f.readlines()[-40:])))
    return not problems


def check_ports(work, exe):
    """`ports` lists COM1 and COM12, both free, while the handset holds the pty behind them."""
    with Handset(work) as handset:
        proc = subprocess.run([WINE, exe, "ports", "--json"], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=60)
        handset.stop()
    problems = []
    try:
        ports = {p["device"]: p for p in json.loads(proc.stdout)["ports"]}
    except (ValueError, KeyError) as error:
        ports = {}
        problems.append("no port list: %s: %r" % (error, proc.stdout[-500:]))
    for name in ("COM1", "COM12"):
        if name not in ports:
            problems.append("%s not listed" % name)
        elif not ports[name]["free"]:
            problems.append("%s listed as not free: %s" % (name, ports[name]["reason"]))
    print("ports: %s (%s)" % ("ok" if not problems and proc.returncode == 0 else "FAILED",
                              ", ".join(sorted(ports)) or "none"))
    for p in problems:
        print("  " + p)
    return not problems and proc.returncode == 0


def main():
    work, exe = sys.argv[1], sys.argv[2]
    if sys.argv[3:] == ["--one"]:
        return 0 if run(work, exe, *SCENARIOS[0]) else 1
    ok = check_ports(work, exe)
    for scenario in SCENARIOS:
        ok = run(work, exe, *scenario) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
