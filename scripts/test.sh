#!/usr/bin/env bash
# Every test: the dependency check, the native build with AddressSanitizer and
# UndefinedBehaviorSanitizer (unit, pseudo-terminal, end-to-end, soak and reliability
# tests), the threaded tests with
# ThreadSanitizer, the 64- and 32-bit Windows builds with their tests and a download under
# Wine, the fuzz harnesses for a bounded time, and the Windows application in real windows.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"

passed=0
failed=0
failures=()
step() { echo; echo "=== $*"; }
# Runs one test step; a failure is counted and the next step still runs.
check() {
  local name=$1; shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    failures+=("$name")
  fi
}

step "dependencies: every command the scripts call comes from a listed package"
check "dependency check" "$top/scripts/check-deps.sh"

step "native build with ASan+UBSan"
"$top/scripts/build.sh" asan
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
check "native tests (ASan+UBSan)" bash -c "cd '$top/build/asan' && ctest --output-on-failure -LE tsan-only -j2"

step "threaded tests with ThreadSanitizer"
"$top/scripts/build.sh" tsan
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
check "threaded tests (TSan)" bash -c "cd '$top/build/tsan' && ctest --output-on-failure -L threads -j2"

step "Windows builds (64- and 32-bit)"
"$top/scripts/build.sh" windows
"$top/scripts/build.sh" windows32

step "Windows tests under Wine"
check "Windows tests under Wine (64-bit)" "$top/scripts/wine-tests.sh" "$top/build/windows"
check "Windows tests under Wine (32-bit)" "$top/scripts/wine-tests.sh" "$top/build/windows32"

step "fuzz harnesses (libFuzzer), 20 seconds each"
check "fuzz harnesses" "$top/scripts/fuzz.sh" 20

step "Windows application in real windows under Wine"
check "Windows application under Wine (64-bit)" "$top/scripts/wine-shell-tests.sh" "$top/build/windows"
# The 32-bit application: start-up, menu, settings, a Go! download, and the Open and Save
# dialogs (the older look of a 76-byte OPENFILENAME) with their downloads and error boxes.
check "Windows application under Wine (32-bit)" \
  env TARVOLO_SHELL_SCENARIOS="startup exit download open save errors" \
  "$top/scripts/wine-shell-tests.sh" "$top/build/windows32"

echo
for f in "${failures[@]+"${failures[@]}"}"; do echo "failed: $f"; done
echo "steps: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
