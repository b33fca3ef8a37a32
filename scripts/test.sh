#!/usr/bin/env bash
# Every test: the native build with AddressSanitizer and UndefinedBehaviorSanitizer (unit,
# pseudo-terminal, end-to-end, soak and reliability tests), the threaded tests with
# ThreadSanitizer, the Windows build with its tests and a download under Wine, the fuzz
# harnesses for a bounded time, and the Windows application in real windows under Wine.
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

step "native build with ASan+UBSan"
"$top/scripts/build.sh" asan
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
check "native tests (ASan+UBSan)" bash -c "cd '$top/build/asan' && ctest --output-on-failure -LE tsan-only -j2"

step "threaded tests with ThreadSanitizer"
"$top/scripts/build.sh" tsan
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
check "threaded tests (TSan)" bash -c "cd '$top/build/tsan' && ctest --output-on-failure -L threads -j2"

step "Windows build"
"$top/scripts/build.sh" windows

step "Windows tests under Wine"
check "Windows tests under Wine" "$top/scripts/wine-tests.sh" "$top/build/windows"

step "fuzz harnesses (libFuzzer), 20 seconds each"
check "fuzz harnesses" "$top/scripts/fuzz.sh" 20

step "Windows application in real windows under Wine"
check "Windows application under Wine" "$top/scripts/wine-shell-tests.sh" "$top/build/windows"

echo
for f in "${failures[@]+"${failures[@]}"}"; do echo "failed: $f"; done
echo "steps: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
