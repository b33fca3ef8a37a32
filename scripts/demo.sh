#!/usr/bin/env bash
# The main job: builds the tool and shows what a sample release file will send.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" release
bin="$top/build/release/bin"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A sample release file: identifier KM52, then 6 blocks of 1024 bytes (two of them blank)
# and a short last piece that a download does not send.
python3 - "$work/sample.rel" <<'PY'
import sys
data = bytearray(b"KM52")
for block in range(6):
    if block in (1, 4):
        data += b"\xff" * 1024
    else:
        data += bytes((block * 7 + i) % 251 for i in range(1024))
data += b"\x00" * 300
open(sys.argv[1], "wb").write(data)
PY
"$bin/tarvolo" info "$work/sample.rel"
