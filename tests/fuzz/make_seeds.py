#!/usr/bin/env python3
"""Writes the seeds of fuzz_engine, fuzz_record and fuzz_settings into corpus/<name>/.

Each engine seed is a whole download in the harness's action language (see engine_fuzz.cpp): the
successful roads through every mode, refusals and time-outs, and the ways a download ends in
the abort handshake. The image must be the harness's own (makeImage), so that the handset's
checksum answers are right.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def make_image():
    x = 12345
    out = bytearray()

    def noise():
        nonlocal x
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
        return (x >> 16) & 0xFF

    out += bytes(noise() for _ in range(64))
    out += b"\xff" * 64
    out += b"\x41" * 40
    out += b"\x00" * 10
    out += bytes(noise() for _ in range(14))
    out += b"\x00" * 64
    out += b"\x7e" * 300
    out += bytes(noise() for _ in range(45))
    return bytes(out)


IMAGE = make_image()


def checksum(block, crc):
    whole = IMAGE[: len(IMAGE) // block * block]
    if not crc:
        return sum(whole) & 0xFFFF
    value = 0xFFFF
    for b in whole:
        value ^= b
        for _ in range(8):
            value = (value >> 1) ^ 0x8408 if value & 1 else value >> 1
    return ~value & 0xFFFF


def record(block, blank, protocol=b"1", product=b"KM52", code=b"DOWNLD"):
    r = bytearray(64)
    r[0:4] = product
    r[16:22] = code
    r[22:23] = protocol
    r[32:36] = struct.pack("<i", block)
    r[41] = blank
    return bytes(r)


class Script:
    SPEEDS = [115200, 57600, 38400, 19200, 28800, 0]

    def __init__(self, mode, gang, speed):
        self.out = bytearray([mode | gang << 2 | self.SPEEDS.index(speed) << 3])

    def deliver(self, data):
        for i in range(0, len(data), 32):
            chunk = data[i : i + 32]
            self.out.append((len(chunk) - 1) << 3 | 0)
            self.out += chunk
        return self

    def tx(self):
        self.out.append(3)
        return self

    def tick(self, ms):
        while ms > 0:
            if ms >= 4000:
                n = min(ms // 4000, 31)
                self.out.append(n << 3 | 6)
                ms -= n * 4000
            else:
                n = min((ms + 99) // 100, 31)
                self.out.append(n << 3 | 5)
                ms -= n * 100
        return self

    def press(self):
        self.out.append(7)
        return self

    def operator_abort(self):
        self.out.append(31 << 3 | 7)
        return self


def blocks_to_send(block):
    count = len(IMAGE) // block
    return [n for n in range(count) if IMAGE[n * block : (n + 1) * block] != b"\xff" * block]


def connect(s, gang, rec):
    s.tx().deliver(b"\x00\xff>i")
    if gang:
        s.tx().deliver(b">i").press()
    s.tx().deliver(b">p" + rec)


def transfer(s, block, faults=False):
    for i, n in enumerate(blocks_to_send(block)):
        s.tx()
        if faults and i == 0:
            s.deliver(b">W\x00").tx()                       # refused once
            s.deliver(b">w" + struct.pack(">H", n + 1)).tx()  # wrong number
            s.tick(10500).tx()                              # silence: time-out
            s.deliver(b"xx>S")
        s.deliver(b">w" + struct.pack(">H", n))


def success(mode, gang, speed, block, blank, crc, faults=False):
    s = Script(mode, gang, speed)
    connect(s, gang, record(block, blank, b"0" if crc else b"1"))
    if mode == 0:
        s.tx()
        if faults:
            s.deliver(b">E").tx().tick(82000).tx()
        s.deliver(b">e")
    transfer(s, block, faults)
    s.tx()
    if faults:
        s.deliver(b">w\x00\x00")  # late answer, passed over
    s.deliver(b">c" + struct.pack(">H", checksum(block, crc)))
    return s


def seeds():
    yield "normal-raw", success(1, 0, 115200, 64, 0xFF, False)
    yield "erase-crc-encoded-gang", success(0, 1, 57600, 32, 0x00, True)
    yield "erase-faults", success(0, 0, 38400, 16, 0x7E, True, faults=True)
    yield "normal-block7-escape41", success(1, 1, 19200, 7, 0x41, False)
    yield "normal-block1", success(1, 0, 28800, 1, 0xFF, False)

    s = success(0, 0, 115200, 100, 0x00, False)
    s.out = s.out[:-5]  # the checksum answer
    s.deliver(b">c\x12\x34").tx().deliver(b">a")
    yield "checksum-mismatch-abort", s

    s = Script(1, 0, 57600)
    connect(s, 0, record(64, 0xFF, product=b"KM21"))
    s.tx().tick(10500).tx().tick(10500)
    yield "product-mismatch-unanswered", s

    s = Script(1, 0, 115200)
    connect(s, 0, record(64, 0xFF, protocol=b"0"))
    s.tx().deliver(b">a")
    yield "needs-erase", s

    s = Script(0, 0, 115200)
    connect(s, 0, record(0x10000000, 0x00, protocol=b"0"))
    s.tx().deliver(b">a")
    yield "block-too-large", s

    s = Script(2, 0, 0)
    connect(s, 0, record(64, 0xFF))
    s.tx().deliver(b">a")
    yield "patch-refused", s

    s = Script(1, 1, 115200)
    s.tx().deliver(b">i").tick(1500).tx().deliver(b">i").tx().tick(1200).tick(1200)
    s.tx().deliver(b">i").press().tx().tick(1100).tick(1100).tick(1100)
    s.deliver(b">p" + record(64, 0xFF, code=b"downld")).tx().tick(10500).tx().tick(10500)
    yield "gang-silence-exchange-retries", s

    s = Script(0, 0, 115200)
    connect(s, 0, record(16, 0xFF, b"0"))
    s.tx().deliver(b">e").tx().deliver(b">w\x00\x00").operator_abort()
    s.tx().deliver(b">w\x00\x01").tick(12000).tick(12000)
    yield "operator-abort-during-blocks", s


def record_seeds():
    """Mode byte, 64-byte record, release file."""
    image = bytes(range(256)) * 12
    yield "valid-bytesum", bytes([1]) + record(1024, 0xFF) + b"KM52" + image[: 3 * 1024 + 1020]
    yield "valid-crc-erase", bytes([0]) + record(16, 0x00, b"0") + b"KM52" + image[:100]
    yield "needs-erase", bytes([1]) + record(0, 0xFF, b"0") + b"KM52" + image[:64]
    yield "lower-case-code", bytes([0]) + record(64, 0xFF, code=b"downld") + b"KM52"
    yield "negative-block", bytes([1]) + record(-0x80000000, 0xFF) + b"KM52" + image[:8]
    yield "short-file", bytes([1]) + record(64, 0xFF) + b"KM5"
    yield "other-product", bytes([0]) + record(2, 0x41, b"1") + b"KM21" + image[:9]


def settings_seeds():
    """Settings files: whole, short, empty, too long."""
    whole = struct.pack("<iIc", 1, 57600, b"2") + struct.pack("<i", 3)
    whole += b"C:\\build\\image.mot".ljust(260, b"\0") + b"C:\\rel\\KM52.rel".ljust(260, b"\0")
    whole += b"KM52\0" + struct.pack("<i", 1)
    assert len(whole) == 542
    yield "whole", whole
    yield "short", whole[:20]
    yield "empty", b""
    yield "too-long", whole + b"\xff" * 100
    yield "unterminated", whole[:13] + b"x" * 529


def write(folder, items):
    os.makedirs(os.path.join(CORPUS, folder), exist_ok=True)
    for name, data in items:
        with open(os.path.join(CORPUS, folder, name), "wb") as f:
            f.write(bytes(data))


def main():
    write("engine", ((name, script.out) for name, script in seeds()))
    write("record", record_seeds())
    write("settings", settings_seeds())


if __name__ == "__main__":
    main()
