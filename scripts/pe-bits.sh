#!/usr/bin/env bash
# Prints 32 or 64: the kind of Windows program FILE is, read from its PE header (the machine
# field: 0x14c i386, 0x8664 x86-64). Fails, naming the file, for anything else.
#   scripts/pe-bits.sh FILE
set -euo pipefail
file=${1:?usage: pe-bits.sh FILE}
fail() { echo "pe-bits.sh: $file: $*" >&2; exit 1; }
[ -f "$file" ] || fail "no such file (is the Windows build there?)"
# Little-endian unsigned integer of $2 bytes at offset $1.
le() { od -An -tu"$2" -j "$1" -N "$2" --endian=little "$file" | tr -d ' '; }
[ "$(head -c 2 "$file")" = MZ ] || fail "not a Windows program (no MZ header)"
pe=$(le 60 4)
[ "$(dd if="$file" bs=1 skip="$pe" count=4 2>/dev/null | od -An -tx1 | tr -d ' ')" = 50450000 ] ||
  fail "not a Windows program (no PE signature)"
case $(le $((pe + 4)) 2) in
  332) echo 32 ;;
  34404) echo 64 ;;
  *) fail "a Windows program for neither i386 nor x86-64" ;;
esac
