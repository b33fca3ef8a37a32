#!/usr/bin/env python3
"""Far end for transport_wine_check.exe: holds a pty, keeps a symlink to its slave at LINK
(COM1 is mapped there), answers PING1 at 19200 baud with 300 bytes and PING2 at 115200 with
"OK", and checks the speed the Windows program set. Exit 0 when all held."""
import os, pty, select, sys, termios, time, tty

def speed(fd):
    return termios.tcgetattr(fd)[5]   # ospeed

def read_exactly(fd, count, seconds):
    data = b""
    end = time.monotonic() + seconds
    while len(data) < count:
        left = end - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        data += os.read(fd, count - len(data))
    return data

def main():
    link = sys.argv[1]
    master, slave = pty.openpty()
    tty.setraw(master)
    tty.setraw(slave)   # kept open, so the master never sees the slave closed
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    ok = True
    try:
        got = read_exactly(master, 5, 60)
        print("peer: got %r at %s baud" % (got, "19200" if speed(slave) == termios.B19200 else speed(slave)))
        ok &= got == b"PING1" and speed(slave) == termios.B19200
        time.sleep(0.02)   # a handset's turnaround: answer after the frame has left the line
        os.write(master, bytes((i * 7 + 3) & 0xFF for i in range(300)))
        got = read_exactly(master, 5, 30)
        at115200 = speed(slave) == termios.B115200
        print("peer: got %r at %s" % (got, "115200 baud" if at115200 else "speed %d" % speed(slave)))
        ok &= got == b"PING2" and at115200
        time.sleep(0.02)
        os.write(master, b"OK" if at115200 else b"NO")
        time.sleep(1)
    finally:
        os.unlink(link)
    return 0 if ok else 1

sys.exit(main())
