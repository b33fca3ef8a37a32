"""The Windows build's `release verify` and `release sign` under Wine against Debian's minisign:
a file minisign signed verifies, the same with one bit flipped does not; a file tarvolo-cli.exe
signed verifies with minisign. The Windows station with --trusted-keys (a folder of keys) refuses
the flipped file before any port and names the good one's key and release (its port, COM200, is
not there, so it stops there with exit 10). Run by scripts/wine-tests.sh:
    wine_signing.py WORKDIR TARVOLO-CLI.EXE"""
import os
import re
import shutil
import subprocess
import sys

WINE = os.environ.get("TARVOLO_WINE", "wine")


def main(work, exe):
    # Names relative to WORKDIR: on Windows an argument starting with "/" reads as an option.
    def run(*args):
        return subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=120, cwd=work)

    failures = []

    def check(what, ok, done):
        print(("ok   " if ok else "FAIL ") + what)
        if not ok:
            failures.append(what)
            print("exit %d\n%s%s" % (done.returncode, done.stdout, done.stderr))

    exe = os.path.abspath(exe)
    release = "app.rel"
    with open(os.path.join(work, release), "wb") as f:
        f.write(b"KM52" + bytes(range(256)) * 16)
    key, pub = "m.key", "m.pub"
    run("minisign", "-G", "-W", "-p", pub, "-s", key)
    run("minisign", "-S", "-s", key, "-m", release, "-t", "product:KM52\trelease:wine")
    done = run(WINE, exe, "release", "verify", release, "--pubkey", pub)
    check("minisign -S, tarvolo-cli.exe release verify", done.returncode == 0 and "release:wine" in done.stdout, done)
    tampered = "tampered.rel"
    shutil.copy(os.path.join(work, release), os.path.join(work, tampered))
    shutil.copy(os.path.join(work, release + ".minisig"), os.path.join(work, tampered + ".minisig"))
    with open(os.path.join(work, tampered), "r+b") as f:
        f.seek(100)
        f.write(b"\xff")
    done = run(WINE, exe, "release", "verify", tampered, "--pubkey", pub)
    check("a flipped byte: refused", done.returncode == 1 and "bad signature" in done.stderr, done)
    check_station(run, check, work, exe, pub, release, tampered)
    done = run(WINE, exe, "release", "sign", release, "--key", key, "--release-name", "by-windows")
    check("tarvolo-cli.exe release sign", done.returncode == 0, done)
    done = run("minisign", "-V", "-m", release, "-p", pub)
    check("then minisign -V", done.returncode == 0 and "release:by-windows" in done.stdout, done)
    return 1 if failures else 0


def check_station(run, check, work, exe, pub, release, tampered):
    """Reads the key folder through Windows paths, checks the signature, then stops at the port."""
    os.makedirs(os.path.join(work, "keys"), exist_ok=True)
    shutil.copy(os.path.join(work, pub), os.path.join(work, "keys", "m.pub"))
    # minisign writes the key id in its comment without leading zeros; tarvolo writes all 16 digits.
    with open(os.path.join(work, pub)) as f:
        key_id = int(f.readline().split()[-1], 16)
    station = [WINE, exe, "station", "--ports", "COM200", "--units", "1", "--log", "station.db",
               "--station-id", "W1", "--operator", "ann", "--lot", "L1", "--trusted-keys", "keys"]
    done = run(*station, tampered)
    check("station --trusted-keys: the flipped file refused",
          done.returncode == 1 and "refused: " + tampered + ": bad signature" in done.stderr, done)
    done = run(*station, release)
    check("station --trusted-keys: the good file's key and release named",
          done.returncode == 10 and signer(done.stderr) == key_id and "release wine" in done.stderr, done)


def signer(said):
    """The key id the station names ("signed by key 0DADDC792E6EB4EC"), as a number."""
    found = re.search(r"signed by key ([0-9A-F]{16})\b", said)
    return int(found.group(1), 16) if found else None


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
