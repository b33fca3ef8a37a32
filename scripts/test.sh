#!/usr/bin/env bash
# Every test, in steps that each pass, fail or (only the 32-bit runs, on a kernel that refuses
# 32-bit programs) are skipped with the reason:
#   deps     every command the scripts call comes from a listed package
#   asan     the native build with AddressSanitizer and UndefinedBehaviorSanitizer: unit,
#            pseudo-terminal, end-to-end, page, central, soak and reliability tests
#   tsan     the threaded tests with ThreadSanitizer
#   wine64   the 64-bit Windows build's tests under Wine: unit tests, the COM port, downloads,
#            a station with its page, shipping over ODBC and the dashboard
#   shell64  the 64-bit Windows application in real windows under Wine
#   pe32     the 32-bit Windows build, checked without running it: PE32 (i386) files that
#            import only what Windows ships or the build puts beside them
#   wine32   the 32-bit Windows build's tests and application under Wine, where the kernel
#            runs 32-bit programs (scripts/runs-32bit.sh)
#   fuzz     the fuzz harnesses for a bounded time
#   scripts/test.sh [--only STEP[,STEP...]]
# The summary gives each step's result and time; the exit status is 0 when no step failed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
all_steps="deps asan tsan wine64 shell64 pe32 wine32 fuzz"
only=$all_steps
while [ $# -gt 0 ]; do
  case $1 in
    --only) only=${2:?--only needs a step: $all_steps}; only=${only//,/ }; shift 2 ;;
    --only=*) only=${1#--only=}; only=${only//,/ }; shift ;;
    -h|--help) sed -n '2,/^set /p' "$0" | sed -e '/^set /d' -e 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "test.sh: unknown argument '$1' (try --help)" >&2; exit 64 ;;
  esac
done
for s in $only; do
  [[ " $all_steps " == *" $s "* ]] || { echo "test.sh: no step '$s'; the steps: $all_steps" >&2; exit 64; }
done

"$top/scripts/install-deps.sh"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
# A test runner that finds no test fails, rather than passing by running nothing.
ctest_in() { local dir=$1; shift; (cd "$dir" && ctest --output-on-failure --no-tests=error "$@"); }

step_deps() { "$top/scripts/check-deps.sh"; }
step_asan() {
  "$top/scripts/build.sh" asan && ctest_in "$top/build/asan" -LE tsan-only -j2
}
step_tsan() {
  "$top/scripts/build.sh" tsan && ctest_in "$top/build/tsan" -L threads -j2
}
# The Windows downloads and stations talk to the native virtual handset of the ASan build.
step_wine64() {
  "$top/scripts/build.sh" windows && "$top/scripts/build.sh" asan tarvolo-handset &&
    "$top/scripts/wine-tests.sh" "$top/build/windows"
}
step_shell64() {
  "$top/scripts/build.sh" windows && "$top/scripts/build.sh" asan tarvolo-handset &&
    "$top/scripts/wine-shell-tests.sh" "$top/build/windows"
}
step_pe32() { "$top/scripts/build.sh" windows32 && "$top/scripts/check-pe32.sh" "$top/build/windows32"; }
# The 32-bit application runs start-up, menu, settings, a Go! download, and the Open and Save
# dialogs (the older look of a 76-byte OPENFILENAME) with their downloads and error boxes.
step_wine32() {
  "$top/scripts/build.sh" windows32 && "$top/scripts/build.sh" asan tarvolo-handset || return 1
  local status=0
  "$top/scripts/wine-tests.sh" "$top/build/windows32" || status=1
  TARVOLO_SHELL_SCENARIOS="startup exit download open save errors" \
    "$top/scripts/wine-shell-tests.sh" "$top/build/windows32" || status=1
  return $status
}
step_fuzz() { "$top/scripts/fuzz.sh" 20; }

describe() {
  case $1 in
    deps) echo "dependencies: every command the scripts call comes from a listed package" ;;
    asan) echo "native build with ASan+UBSan and its tests" ;;
    tsan) echo "threaded tests with ThreadSanitizer" ;;
    wine64) echo "64-bit Windows build: its tests under Wine" ;;
    shell64) echo "64-bit Windows application in real windows under Wine" ;;
    pe32) echo "32-bit Windows build: PE32 files and their imports, checked without running them" ;;
    wine32) echo "32-bit Windows build: its tests and application under Wine" ;;
    fuzz) echo "fuzz harnesses (libFuzzer), 20 seconds each" ;;
  esac
}

# Why a step cannot run on this machine (printed), or nothing when it can. Only the 32-bit runs
# are ever skipped, and only for the kernel's refusal; a 32-bit Wine that fails otherwise is a
# failure of the step.
why_not() {
  [ "$1" = wine32 ] || return 0
  local said status=0
  said=$("$top/scripts/runs-32bit.sh") || status=$?
  [ $status -eq 1 ] && echo "$said: the 32-bit build was checked, not run"
  return 0
}

minutes() { printf '%d min %02d s' $(($1 / 60)) $(($1 % 60)); }
passed=0 failed=0 skipped=0
table=() reasons=()
started=$SECONDS
for s in $all_steps; do
  [[ " $only " == *" $s "* ]] || continue
  echo; echo "=== $s: $(describe "$s")"
  reason=$(why_not "$s")
  if [ -n "$reason" ]; then
    echo "skipped: $reason"
    skipped=$((skipped + 1)); reasons+=("$reason")
    table+=("$(printf '  %-8s %-8s %14s  %s' skipped "$s" "" "$reason")")
    continue
  fi
  t=$SECONDS
  if "step_$s"; then result=passed; passed=$((passed + 1)); else result=failed; failed=$((failed + 1)); fi
  table+=("$(printf '  %-8s %-8s %14s  %s' $result "$s" "$(minutes $((SECONDS - t)))" "$(describe "$s")")")
done

echo
echo "=== summary ($(minutes $((SECONDS - started))) without the installs)"
printf '%s\n' "${table[@]}"
summary="steps: $passed passed, $failed failed"
if [ $skipped -gt 0 ]; then
  summary+=", $skipped skipped ($(IFS=';'; echo "${reasons[*]}"))"
fi
echo "$summary"
[ $failed -eq 0 ]
