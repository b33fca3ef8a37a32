#!/usr/bin/env bash
# Tells whether this machine runs 32-bit programs, the one check every script that would
# start 32-bit Wine asks:
#   scripts/runs-32bit.sh     exit 0: it does; exit 1: the kernel refuses them (the reason on
#                             standard output); exit 2: it cannot be told, because 32-bit
#                             Wine is not installed or fails for another reason (on stderr)
# Some kernels of the machines we run on refuse 32-bit code although they were built with it
# ("Exec format error"); others run it. Wine's own 32-bit loader is what is asked, so the
# answer is about exactly what the 32-bit steps need.
set -uo pipefail
loader=${TARVOLO_WINE32_LOADER:-/usr/lib/wine/wine}
if [ ! -e "$loader" ]; then
  echo "runs-32bit.sh: no 32-bit Wine loader at $loader (wine32:i386): run scripts/install-deps.sh" >&2
  exit 2
fi
said=$("$loader" --version 2>&1)
status=$?
[ $status -eq 0 ] && exit 0
if [[ $said == *"Exec format error"* || $said == *"cannot execute binary file"* ]]; then
  echo "this kernel cannot run 32-bit programs"
  exit 1
fi
echo "runs-32bit.sh: $loader --version failed (exit $status): $said" >&2
exit 2
