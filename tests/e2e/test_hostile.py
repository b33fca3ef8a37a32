"""Hostile bytes through every output: a virtual handset whose product identifier, download
code and unread parameter-record bytes are escape sequences, C1 controls and bytes that are
no UTF-8, a release file that starts with such bytes, and an operator whose words hold
quotes, a line break and an escape sequence. Every JSON line parses, the CSV reads back (a
lot that a spreadsheet would run as a formula stays text), the record keeps the operator's
words exactly and the handset's bytes in the \\xNN form, and no control byte but the line
breaks and the live view's own cursor moves reaches a terminal."""
import csv
import fcntl
import io
import json
import os
import pty
import re
import select
import sqlite3
import struct
import subprocess
import termios
import time
import unittest

from e2e_case import E2ECase, data_block
from harness import Handset, bin_dir

BS = 256
HANDSET_ID = b"\x1b\x9b\xe9\x07"    # ESC, a raw C1 CSI, a byte that is no UTF-8, BEL
HANDSET_ID_SHOWN = "\\x1B\\x9B\\xE9\\x07"
FILE_ID = b"\xe9\x01AB"
FILE_ID_SHOWN = "\\xE9\\x01AB"
BAD_CODE = b"\x1b[5m\x07Z"
BAD_CODE_SHOWN = "\\x1B[5m\\x07Z"
HOSTILE_RECORD = ("--record-filler", "0x9b")
OPERATOR = 'Zoë "the\nboss"\x1b[1m'
LOT = "=HYPERLINK(\"x\"),L7"  # a spreadsheet formula, and a comma
OWN_REDRAW = re.compile(rb"\x1b\[\d+A\x1b\[J")


def tarvolo(*args):
    return [os.path.join(bin_dir(), "tarvolo")] + list(args)


def run(*args, cwd=None):
    args = [a if isinstance(a, bytes) else str(a) for a in args]
    return subprocess.run(tarvolo(*args), stdin=subprocess.DEVNULL, capture_output=True, timeout=120, cwd=cwd)


def on_terminal(cmd, cwd, columns=100, timeout=120):
    """Runs `cmd` with stdout and stderr on a pseudo-terminal `columns` wide. Returns (exit
    code, every byte the terminal received)."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 40, columns, 0, 0))
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=slave, stderr=slave, cwd=cwd)
    os.close(slave)
    received = b""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if select.select([master], [], [], 0.5)[0]:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # every writer has gone
                break
            if not chunk:
                break
            received += chunk
    os.close(master)
    if proc.poll() is None:
        proc.kill()
    return proc.wait(), received


def json_lines(stdout):
    return [json.loads(line) for line in stdout.decode("utf-8").splitlines() if line.strip()]


class Hostile(E2ECase):
    def assertTerminalClean(self, received):
        text = OWN_REDRAW.sub(b"", received)
        controls = sorted({b for b in text if (b < 0x20 and b not in b"\r\n") or b == 0x7F})
        self.assertEqual(controls, [], received[-2000:])
        shown = text.decode("utf-8")  # raises when a raw byte that is no UTF-8 got through
        self.assertFalse([c for c in shown if 0x80 <= ord(c) <= 0x9F], received[-2000:])
        return shown

    def hostile_release(self, product_id, blocks=4):
        return self.release([data_block(BS, n) for n in range(blocks)], product_id=product_id)[0]

    def hostile_handset(self, folder, *args):
        os.makedirs(self.path(folder), exist_ok=True)
        h = Handset(self.path(folder), "--block-size", BS, "--erase-ms", 50, "--product-id", HANDSET_ID,
                    *HOSTILE_RECORD, *args)
        self.addCleanup(h.__exit__, None, None, None)
        return h

    def test_download_and_info_with_hostile_bytes_and_operator_text(self):
        release = self.hostile_release(FILE_ID)
        info = run("info", "--json", release)
        self.assertEqual(info.returncode, 0, info.stderr)
        self.assertEqual(json_lines(info.stdout)[0]["product_id"], FILE_ID_SHOWN)
        code, screen = on_terminal(tarvolo("info", release), self.work)
        self.assertIn("product id: " + FILE_ID_SHOWN, self.assertTerminalClean(screen))

        handset = self.hostile_handset("mismatch")
        proc = run("download", "--json", "--port", handset.link, "--give-up-after", 30, release)
        self.assertIn(proc.returncode, (2, 4), proc.stderr)
        texts = "".join(e.get("text", "") for e in json_lines(proc.stdout))
        self.assertIn("Mobile's ID: " + HANDSET_ID_SHOWN, texts)
        self.assertIn("File's   ID: " + FILE_ID_SHOWN, texts)
        code, screen = on_terminal(tarvolo("download", "--port", handset.link, "--give-up-after", "30", release),
                                   self.work)
        self.assertIn(code, (2, 4))
        self.assertIn(HANDSET_ID_SHOWN, self.assertTerminalClean(screen))

        coded = self.hostile_handset("code", "--download-code", BAD_CODE)
        proc = run("download", "--json", "--port", coded.link, "--give-up-after", 30, release)
        self.assertIn(proc.returncode, (4, 8), proc.stderr)
        self.assertIn("Mobile code : " + BAD_CODE_SHOWN, "".join(e.get("text", "") for e in json_lines(proc.stdout)))

        # Words that are not text stop the command before any port is opened.
        frames = coded.report()["frames"]
        for args, option in ((["download", "--port", coded.link.encode() + b"\xff"], "--port"),
                             (["station", "--ports", coded.link, "--operator", b"Zo\xeb"], "--operator"),
                             (["station", "--ports", coded.link, "--lot", b"\xc0\xaf"], "--lot")):
            proc = run(*args, release)
            self.assertEqual(proc.returncode, 64, proc.stderr)
            self.assertIn(option.encode() + b" is not valid UTF-8", proc.stderr)
        time.sleep(0.5)
        self.assertEqual(coded.report()["frames"], frames)

    def station(self, release, record, links, units, *extra):
        return ["station", "--ports", ",".join(links), "--units", str(units), "--log", record, "--station-id",
                "S\x01", "--operator", OPERATOR, "--lot", LOT, "--rearm-silence", "1", *extra, release]

    def test_station_record_and_log_keep_hostile_text(self):
        release = self.hostile_release(HANDSET_ID)
        stay = ("--unit-stay-ms", 1500, "--unit-gap-ms", 1500)
        first = self.hostile_handset("port1", "--units", 2, *stay, "--unit-faults", b"2:download-code=" + BAD_CODE)
        second = self.hostile_handset("port2", "--units", 1, *stay)
        record = self.path("record.db")
        proc = run(*self.station(release, record, [first.link, second.link], 3, "--json"), cwd=self.work)
        self.assertEqual(proc.returncode, 20, proc.stderr)  # the unit with the foreign code failed
        results = sorted(e["result_code"] for e in json_lines(proc.stdout) if e.get("event") == "unit_end")
        self.assertEqual(results[:2], [0, 0])
        self.assertIn(results[2:], ([4], [8]))

        db = sqlite3.connect(record)
        rows = db.execute("SELECT operator, lot, station_id, file_product_id, handset_product_id FROM units").fetchall()
        codes = {row[0] for row in db.execute("SELECT handset_download_code FROM units")}
        db.close()
        self.assertEqual(rows, [(OPERATOR, LOT, "S\x01", HANDSET_ID_SHOWN, HANDSET_ID_SHOWN)] * 3)
        self.assertEqual(codes, {"DOWNLD1", BAD_CODE_SHOWN + "\\x00"})

        log = run("log", "--db", record, "--json")
        self.assertEqual(log.returncode, 0, log.stderr)
        units = json_lines(log.stdout)[0]["units"]
        self.assertEqual([u["operator"] for u in units], [OPERATOR] * 3)
        csv_out = run("log", "--db", record, "--csv")
        table = list(csv.DictReader(io.StringIO(csv_out.stdout.decode("utf-8"), newline="")))
        self.assertEqual([(r["operator"], r["lot"], r["handset_product_id"]) for r in table],
                         [(OPERATOR, "'" + LOT, HANDSET_ID_SHOWN)] * 3)
        for listing in (["log", "--db", record], ["log", "--db", record, "--csv"]):
            code, screen = on_terminal(tarvolo(*listing), self.work)
            self.assertEqual(code, 0)
            self.assertTerminalClean(screen)

        # The live table: rows told apart by the part of their names that differs.
        links = [self.hostile_handset("again%d" % n, "--units", 1, *stay).link for n in (1, 2)]
        code, screen = on_terminal(tarvolo(*self.station(release, self.path("again.db"), links, 2)), self.work)
        self.assertEqual(code, 0, screen[-2000:])
        shown = self.assertTerminalClean(screen)
        self.assertIn("…/again1/ttyHANDSET", shown)
        self.assertIn("…/again2/ttyHANDSET", shown)
        for line in shown.replace("\r", "").split("\n"):
            self.assertLessEqual(len(line), 99, line)


if __name__ == "__main__":
    unittest.main()
