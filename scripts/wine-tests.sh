#!/usr/bin/env bash
# Runs the Windows build's test executables under Wine, headless, in a fresh prefix.
set -euo pipefail
build=${1:?usage: wine-tests.sh BUILD_DIR}
export WINEPREFIX=$(mktemp -d /tmp/tarvolo-wine.XXXXXX)
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
wineboot -i >/dev/null 2>&1 || true
status=0
for exe in "$build"/bin/engine_tests.exe "$build"/bin/convert_tests.exe; do
  echo "--- $(basename "$exe") under Wine"
  wine "$exe" --gtest_brief=1 || status=1
done
exit $status
