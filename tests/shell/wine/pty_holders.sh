#!/bin/sh
# Counts the open descriptors, in all processes, on the pseudo-terminal that LINK points to,
# and writes the count to OUT. The Wine test driver asks this whether the program holds a
# port open (under Wine another open of a held serial port is not refused).
#   pty_holders.sh LINK OUT
target=$(readlink -f "$1")
find /proc/[0-9]*/fd -lname "$target" 2>/dev/null | wc -l >"$2.part"
mv "$2.part" "$2"
