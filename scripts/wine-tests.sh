#!/usr/bin/env bash
# Runs the Windows build's test executables under Wine, headless, in a fresh prefix made by the
# loader that suits the build (scripts/wine.sh). A 32-bit build on a kernel that refuses 32-bit
# programs is not run: the script says so and exits 77.
#   scripts/wine-tests.sh BUILD_DIR [HANDSET_BIN_DIR]
set -euo pipefail
build=${1:?usage: wine-tests.sh BUILD_DIR [HANDSET_BIN_DIR]}
top=$(cd "$(dirname "$0")/.." && pwd)
bits=$("$top/scripts/pe-bits.sh" "$build/bin/engine_tests.exe") || exit 1
if [ "$bits" = 32 ] && ! why=$("$top/scripts/runs-32bit.sh"); then
  [ -n "$why" ] || exit 1  # 32-bit Wine broken otherwise: a failure, said on stderr
  echo "skipped: $why (the 32-bit build in $build was not run)"
  exit 77
fi
export TARVOLO_WINE_BITS=$bits TARVOLO_WINE="$top/scripts/wine.sh"
wine() { "$TARVOLO_WINE" "$@"; }
export WINEPREFIX=$(mktemp -d /tmp/tarvolo-wine.XXXXXX)
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
wine --prefix
status=0
# A test program that cannot start, or that finds no test, fails like one whose test fails.
gtest() {
  local out
  echo "--- $(basename "$1") under Wine ($bits-bit)"
  if [ ! -f "$1" ]; then echo "FAIL $1 is not built"; return 1; fi
  out=$(wine "$1" --gtest_brief=1 2>&1) || { echo "$out"; return 1; }
  echo "$out"
  grep -qE '^\[  PASSED  \] [1-9][0-9]* test' <<<"$out" || { echo "FAIL $(basename "$1") ran no test"; return 1; }
}
for exe in "$build"/bin/engine_tests.exe "$build"/bin/convert_tests.exe "$build"/bin/record_tests.exe; do
  gtest "$exe" || status=1
done
# The Win32 serial port on a pty: COM1 (and the others) mapped to the symlink that the pty's
# owner keeps (scripts/wine.sh --map-ports). Map the virtual handset's --link the same way to
# run a Windows download against it.
map_ports() {  # map_ports LINK COM1 [COM12 ...]
  wine --map-ports "$@" || { echo "FAIL cannot map ${*:2} to $1"; return 1; }
}
map_com1() { map_ports "$1" COM1; }
echo "--- transport_wine_check.exe under Wine (COM1 mapped to a pty)"
if [ ! -f "$build/bin/transport_wine_check.exe" ]; then
  echo "FAIL transport_wine_check.exe is not built"
  status=1
else
  link="$WINEPREFIX/ttyPEER"
  map_com1 "$link"
  python3 "$top/tests/transport/wine/pty_peer.py" "$link" & peer=$!
  for _ in $(seq 50); do [ -L "$link" ] && break; sleep 0.1; done
  # The wineserver started here inherits stderr and dumps its objects when it shuts down.
  log="$WINEPREFIX/transport_wine_check.log"
  wine "$build/bin/transport_wine_check.exe" COM1 2>"$log" || { status=1; tail -n 20 "$log"; }
  wait "$peer" || status=1
fi
# The Windows build's `ports`, and its downloads over COM1 and COM12, against the native
# virtual handset (a second argument names its folder; default: the ASan build's, which
# scripts/test.sh builds first).
handset_bin=${2:-$top/build/asan/bin}
if [ -f "$build/bin/tarvolo-cli.exe" ] && [ -x "$handset_bin/tarvolo-handset" ]; then
  echo "--- tarvolo-cli.exe ports and download under Wine (COM1 and COM12 mapped to tarvolo-handset)"
  work="$WINEPREFIX/download"
  mkdir -p "$work"
  map_ports "$work/ttyHANDSET" COM1 COM12
  TARVOLO_BIN="$handset_bin" PYTHONDONTWRITEBYTECODE=1 \
    python3 "$top/tests/e2e/wine_download.py" "$work" "$build/bin/tarvolo-cli.exe" || status=1
  echo "--- tarvolo-cli.exe station under Wine (COM1 and COM2 mapped to two tarvolo-handsets; its page read by chromium)"
  work="$WINEPREFIX/station"
  mkdir -p "$work/port1" "$work/port2"
  map_ports "$work/port1/ttyHANDSET" COM1
  map_ports "$work/port2/ttyHANDSET" COM2
  TARVOLO_BIN="$handset_bin" PYTHONDONTWRITEBYTECODE=1 TARVOLO_NODE="$top/build/node" \
    python3 "$top/tests/station/wine_station.py" "$work" "$build/bin/tarvolo-cli.exe" || status=1
  echo "--- tarvolo-cli.exe release verify and sign, and the station's --trusted-keys, under Wine, against minisign"
  mkdir -p "$WINEPREFIX/signing"
  python3 "$top/tests/signing/wine_signing.py" "$WINEPREFIX/signing" "$build/bin/tarvolo-cli.exe" || status=1
  echo "--- tarvolo-cli.exe station under Wine shipping to a throwaway PostgreSQL (odbc32 forwards to unixODBC), then its dashboard"
  TARVOLO_BIN="$handset_bin" PYTHONDONTWRITEBYTECODE=1 "$top/scripts/with-postgres.sh" \
    python3 "$top/tests/central/wine_central.py" "$work" "$build/bin/tarvolo-cli.exe" || status=1
else
  echo "FAIL no tarvolo-cli.exe in $build/bin, or no native tarvolo-handset in $handset_bin: no download under Wine"
  status=1
fi
exit $status
