#!/usr/bin/env bash
# Builds the libFuzzer harnesses and runs every one (build/fuzz/bin/fuzz_*) for a bounded time
# with its seed corpus, tests/fuzz/corpus/<name>/, as many at once as the machine has cores.
#   scripts/fuzz.sh [SECONDS per harness, default 20]
# New inputs go to build/fuzz/corpus/<name>/, never into the checked-in seeds; a crash,
# leak or hang leaves its input in build/fuzz/artifacts/ and makes the script fail.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-20}
"$top/scripts/build.sh" fuzz fuzzers

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
out="$top/build/fuzz"
artifacts="$out/artifacts"
mkdir -p "$artifacts"
harnesses=()
for h in "$out"/bin/fuzz_*; do
  harnesses+=("$h")
done
if [ ! -x "${harnesses[0]}" ]; then
  echo "FAIL no fuzz harness built in build/fuzz/bin"
  exit 1
fi
# One harness: its log in build/fuzz/NAME.log, its exit status in build/fuzz/NAME.status.
fuzz_one() {
  local harness=$1 name=${1##*/fuzz_}
  local work="$out/corpus/$name" seeds=()
  mkdir -p "$work"
  [ -d "$top/tests/fuzz/corpus/$name" ] && seeds=("$top/tests/fuzz/corpus/$name")
  # A fixed seed: the bounded run in the test command repeats itself; long runs vary it.
  local status=0
  "$harness" -seed="${FUZZ_SEED:-1}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
    -print_final_stats=1 -artifact_prefix="$artifacts/$name-" "$work" "${seeds[@]}" >"$out/$name.log" 2>&1 || status=$?
  echo $status >"$out/$name.status"
}
running=0
for harness in "${harnesses[@]}"; do
  rm -f "$out/${harness##*/fuzz_}.status"
  fuzz_one "$harness" &
  running=$((running + 1))
  if [ $running -ge "$(nproc)" ]; then wait -n || true; running=$((running - 1)); fi
done
wait
status=0
for harness in "${harnesses[@]}"; do
  name=${harness##*/fuzz_}
  echo "--- fuzz_$name for ${seconds}s"
  if [ "$(cat "$out/$name.status" 2>/dev/null)" = 0 ]; then
    grep -E '^stat::number_of_executed_units|^Done' "$out/$name.log" || true
  else
    echo "fuzz_$name FAILED:"; tail -40 "$out/$name.log"
    status=1
  fi
done
exit $status
