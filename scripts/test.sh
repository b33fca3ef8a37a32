#!/usr/bin/env bash
# Every test, in steps that each pass, fail or (only the 32-bit runs, on a kernel that refuses
# 32-bit programs) are skipped with the reason:
#   deps     every command the scripts call comes from a listed package
#   asan     the native build with AddressSanitizer and UndefinedBehaviorSanitizer: unit,
#            pseudo-terminal, end-to-end, page, central, soak and reliability tests
#   tsan     the threaded tests with ThreadSanitizer
#   wine64   the 64-bit Windows build's tests under Wine: unit tests, the COM port, downloads,
#            a station with its page, shipping over ODBC and the dashboard; then its installer
#            (signed, installed in a fresh prefix, used, uninstalled)
#   shell64  the 64-bit Windows application in real windows under Wine
#   pe32     the 32-bit Windows build, checked without running it: PE32 (i386) files that
#            import only what Windows ships or the build puts beside them; where the kernel
#            refuses 32-bit programs, also its installer, built, signed and verified
#   wine32   the 32-bit Windows build's tests, application and installer under Wine, where the
#            kernel runs 32-bit programs (scripts/runs-32bit.sh)
#   fuzz     the fuzz harnesses for a bounded time
#   package  the Debian package (scripts/package-deb.sh, lintian without error), installed with
#            apt on a clean Debian 12 (debootstrap, kept in build/debian12) where the installed
#            programs flash a virtual handset and run a two-port station
#   scripts/test.sh [--only STEP[,STEP...]]
# The summary gives each step's result and time; the exit status is 0 when no step failed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
all_steps="deps asan tsan wine64 shell64 pe32 wine32 fuzz package"
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

# The builds of the steps after `asan` are made ahead, in the background at idle priority:
# the tests leave much of the two cores idle (waiting on lines and time-outs; half of them in
# the ASan step), and a build made meanwhile is one the step need not wait for. A step waits
# for its own build; one that failed fails the steps that need it, with its log.
ahead=$top/build/ahead
ahead_pid=
build_ahead() {  # build_ahead "FLAVOUR [TARGET...]"...
  rm -rf "$ahead"
  mkdir -p "$ahead"
  local b
  for b in "$@"; do touch "$ahead/${b%% *}.queued"; done
  set -m  # a process group of its own, which the trap below ends whatever it is running
  (
    for b in "$@"; do
      set -- $b
      status=0
      build_cmd=("$top/scripts/build.sh" "$@")
      [ "$1" = deb ] && build_cmd=("$top/scripts/package-deb.sh")  # the package: its last line names it
      nice -n 19 chrt --idle 0 "${build_cmd[@]}" >"$ahead/$1.log" 2>&1 || status=$?
      echo $status >"$ahead/$1.status"
    done
  ) &
  ahead_pid=$!
  set +m
}
trap '[ -z "$ahead_pid" ] || kill -- -"$ahead_pid" 2>/dev/null || true' EXIT
build() {  # build FLAVOUR [TARGET...]: made ahead (waited for), or made now
  local flavour=$1
  if [ -e "$ahead/$flavour.queued" ]; then
    while [ ! -e "$ahead/$flavour.status" ]; do
      kill -0 "$ahead_pid" 2>/dev/null || break
      sleep 1
    done
    if [ "$(cat "$ahead/$flavour.status" 2>/dev/null)" = 0 ]; then
      echo "the $flavour build, made ahead: $(grep -c '^\[' "$ahead/$flavour.log" || true) steps"
      return 0
    fi
    echo "FAIL the $flavour build made ahead:"; tail -n 40 "$ahead/$flavour.log"
    return 1
  fi
  "$top/scripts/build.sh" "$@"
}

step_deps() { "$top/scripts/check-deps.sh"; }
step_asan() {
  build asan && ctest_in "$top/build/asan" -LE tsan-only -j2
}
step_tsan() {
  build tsan threaded_tests && ctest_in "$top/build/tsan" -L threads -j2
}
# The Windows downloads and stations talk to the native virtual handset of the ASan build.
step_wine64() {
  build windows && "$top/scripts/build.sh" asan tarvolo-handset || return 1
  local status=0
  "$top/scripts/wine-tests.sh" "$top/build/windows" || status=1
  echo "--- the installer (scripts/wine-installer-tests.sh windows)"
  "$top/scripts/wine-installer-tests.sh" windows || status=1
  return $status
}
step_shell64() {
  build windows && "$top/scripts/build.sh" asan tarvolo-handset &&
    "$top/scripts/wine-shell-tests.sh" "$top/build/windows"
}
# Where the kernel refuses 32-bit programs the wine32 step is skipped: the 32-bit installer is
# built, signed and verified here instead, and the script says it was not installed (exit 77).
step_pe32() {
  build windows32 && "$top/scripts/check-pe32.sh" "$top/build/windows32" || return 1
  [ -n "$(why_not wine32)" ] || return 0
  local status=0
  "$top/scripts/wine-installer-tests.sh" windows32 || status=$?
  [ $status -eq 0 ] || [ $status -eq 77 ]
}
# The 32-bit application runs start-up, menu, settings, a Go! download, and the Open and Save
# dialogs (the older look of a 76-byte OPENFILENAME) with their downloads and error boxes.
step_wine32() {
  build windows32 && "$top/scripts/build.sh" asan tarvolo-handset || return 1
  local status=0
  "$top/scripts/wine-tests.sh" "$top/build/windows32" || status=1
  TARVOLO_SHELL_SCENARIOS="startup exit download open save errors" \
    "$top/scripts/wine-shell-tests.sh" "$top/build/windows32" || status=1
  echo "--- the installer (scripts/wine-installer-tests.sh windows32)"
  "$top/scripts/wine-installer-tests.sh" windows32 || status=1
  return $status
}
step_fuzz() { build fuzz fuzzers && "$top/scripts/fuzz.sh" 20; }
step_package() {
  build deb || return 1
  sed -n '/^== lintian/,$p' "$ahead/deb.log"
  "$top/scripts/test-package.sh" "$(tail -n 1 "$ahead/deb.log")"
}

describe() {
  case $1 in
    deps) echo "dependencies: every command the scripts call comes from a listed package" ;;
    asan) echo "native build with ASan+UBSan and its tests" ;;
    tsan) echo "threaded tests with ThreadSanitizer" ;;
    wine64) echo "64-bit Windows build: its tests and its installer under Wine" ;;
    shell64) echo "64-bit Windows application in real windows under Wine" ;;
    pe32) echo "32-bit Windows build: PE32 files and their imports, checked without running them" ;;
    wine32) echo "32-bit Windows build: its tests, application and installer under Wine" ;;
    fuzz) echo "fuzz harnesses (libFuzzer), 20 seconds each" ;;
    package) echo "Debian package: built, lintian, installed and used on a clean Debian 12" ;;
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

# What the selected steps after `asan` build, in the order they need it.
selected() { [[ " $only " == *" $1 "* ]]; }
builds=()
selected tsan && builds+=("tsan threaded_tests")
selected wine64 || selected shell64 && builds+=(windows)
selected pe32 || { selected wine32 && [ -z "$(why_not wine32)" ]; } && builds+=(windows32)
selected fuzz && builds+=("fuzz fuzzers")
selected package && builds+=(deb)
[ ${#builds[@]} -gt 0 ] && build_ahead "${builds[@]}"

# The step's output goes to the screen and to its log; the tee is not waited for, since a
# program the step left behind (a wineserver ending its grace time) may still hold the pipe.
run_step() { "step_$1" > >(tee "$2") 2>&1; }
# Wine's timing on a loaded machine is not ours to promise: a Windows step that fails runs once
# more, and passes only when the whole step passes again. A fault of ours fails both runs; the
# first run's failure is shown at the end either way.
second_run() {
  [[ " wine64 shell64 wine32 " == *" $1 "* ]] || return 1
  mv "$logs/$1.log" "$logs/$1.first.log"
  echo "--- $1 failed; it runs once more (the first run's log: build/test-logs/$1.first.log)"
  run_step "$1" "$logs/$1.log"
}
why_failed() {  # the lines of a step's log that say why it failed
  grep -a -E 'FAIL|Failed|not ok|[Ee]rror|Traceback|Assertion|timed out|\*\*\*' "$1" |
    grep -v -E '^ *(0|[0-9]+% tests passed, 0) tests failed' | tail -n 30 || echo "(no line says; see the log)"
}

minutes() { printf '%d min %02d s' $(($1 / 60)) $(($1 % 60)); }
passed=0 failed=0 skipped=0
table=() reasons=() failures=() second=()
logs=$top/build/test-logs
rm -rf "$logs"; mkdir -p "$logs"
started=$SECONDS
for s in $all_steps; do
  selected "$s" || continue
  echo; echo "=== $s: $(describe "$s")"
  reason=$(why_not "$s")
  if [ -n "$reason" ]; then
    echo "skipped: $reason"
    skipped=$((skipped + 1)); reasons+=("$reason")
    table+=("$(printf '  %-8s %-8s %14s  %s' skipped "$s" "" "$reason")")
    continue
  fi
  t=$SECONDS
  if run_step "$s" "$logs/$s.log"; then
    result=passed; passed=$((passed + 1))
  elif second_run "$s"; then
    result=passed; passed=$((passed + 1)); second+=("$s")
  else
    result=failed; failed=$((failed + 1)); failures+=("$s")
  fi
  table+=("$(printf '  %-8s %-8s %14s  %s' $result "$s" "$(minutes $((SECONDS - t)))" "$(describe "$s")")")
done

# A long run's output is often read from its end only: the lines that say why each failed
# step failed, and why a step passed only on its second run, are repeated here.
if [ ${#failures[@]} -gt 0 ] || [ ${#second[@]} -gt 0 ]; then
  sleep 1
  echo
  echo "=== why steps failed (their logs: build/test-logs/)"
  for s in "${second[@]}"; do
    echo "--- $s, its first run (the second passed)"; why_failed "$logs/$s.first.log"
  done
  for s in "${failures[@]}"; do
    echo "--- $s"; why_failed "$logs/$s.log"
  done
fi

echo
echo "=== summary ($(minutes $((SECONDS - started))) without the installs)"
printf '%s\n' "${table[@]}"
summary="steps: $passed passed, $failed failed"
[ ${#second[@]} -gt 0 ] && summary="steps: $passed passed (${second[*]} on a second run), $failed failed"
if [ $skipped -gt 0 ]; then
  summary+=", $skipped skipped ($(IFS=';'; echo "${reasons[*]}"))"
fi
echo "$summary"
[ $failed -eq 0 ]
