#!/usr/bin/env bash
# The main job: a real download into the virtual handset.
#
# Builds the tools, starts tarvolo-handset on a pseudo-terminal, makes a sample release file
# with blank blocks, shows what it will send (tarvolo info), downloads it with
# tarvolo download, and checks that the handset's flash now equals the image.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" --demo
"$top/scripts/build.sh" tools tarvolo tarvolo-handset
bin="$top/build/release/bin"
work=$(mktemp -d)
handset_pid=
cleanup() {
  [ -n "$handset_pid" ] && kill "$handset_pid" 2>/dev/null && wait "$handset_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# A sample release file: identifier KM52, then 24 blocks of 1024 bytes (four of them blank,
# some full of runs) and a short last piece that a download does not send.
python3 - "$work/sample.rel" "$work/image.bin" <<'PY'
import sys
blocks = []
for n in range(24):
    if n in (3, 4, 11, 20):
        blocks.append(b"\xff" * 1024)
    elif n % 5 == 0:
        blocks.append(bytes([n]) * 512 + bytes(range(256)) * 2)
    else:
        blocks.append(bytes((n * 31 + i * 7) % 256 for i in range(1024)))
image = b"".join(blocks)
open(sys.argv[1], "wb").write(b"KM52" + image + b"\x00" * 300)
open(sys.argv[2], "wb").write(image)
PY

echo "== What the release file will send"
"$bin/tarvolo" info "$work/sample.rel"

echo
echo "== Starting the virtual handset (CRC-16 checksum, blank byte 0x00: run-length encoded frames)"
"$bin/tarvolo-handset" --link "$work/ttyHANDSET" --protocol 0 --blank 0x00 --image-blocks 24 \
  --flash-out "$work/flash.bin" --report "$work/report.json" --exit-after-download \
  >"$work/handset.out" 2>"$work/handset.err" &
handset_pid=$!
for _ in $(seq 50); do [ -e "$work/ttyHANDSET" ] && break; sleep 0.1; done
echo "handset on $(head -n1 "$work/handset.out") (linked at $work/ttyHANDSET)"

echo
echo "== tarvolo download --port $work/ttyHANDSET --speed 115200 --mode erase"
status=0
"$bin/tarvolo" download --port "$work/ttyHANDSET" --speed 115200 --mode erase --give-up-after 20 \
  "$work/sample.rel" || status=$?
echo "exit code: $status"

kill "$handset_pid" 2>/dev/null || true
wait "$handset_pid" 2>/dev/null || true
handset_pid=
echo
if [ "$status" -eq 0 ] && cmp -s "$work/flash.bin" "$work/image.bin"; then
  echo "== The handset's flash equals the image ($(stat -c %s "$work/image.bin") bytes)"
else
  echo "== FAILED: exit code $status, or the handset's flash differs from the image" >&2
  cat "$work/handset.err" >&2
  exit 1
fi
