#!/usr/bin/env bash
# Every test: native build with AddressSanitizer and UndefinedBehaviorSanitizer, the threaded
# tests with ThreadSanitizer, the Windows build, and the engine tests of the Windows build
# under Wine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"

status=0
step() { echo; echo "=== $*"; }

step "native build with ASan+UBSan"
"$top/scripts/build.sh" asan
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd "$top/build/asan" && ctest --output-on-failure -LE tsan-only -j2) || status=1

step "threaded tests with ThreadSanitizer"
"$top/scripts/build.sh" tsan
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
(cd "$top/build/tsan" && ctest --output-on-failure -L threads -j2) || status=1

step "Windows build"
"$top/scripts/build.sh" windows

step "Windows engine tests under Wine"
"$top/scripts/wine-tests.sh" "$top/build/windows" || status=1

step "fuzz harnesses (libFuzzer), 20 seconds each"
"$top/scripts/fuzz.sh" 20 || status=1

step "Windows application in real windows under Wine"
"$top/scripts/wine-shell-tests.sh" "$top/build/windows" || status=1

exit $status
