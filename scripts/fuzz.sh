#!/usr/bin/env bash
# Builds the libFuzzer flavour and runs every harness (build/fuzz/bin/fuzz_*) for a bounded
# time with its seed corpus, tests/fuzz/corpus/<name>/.
#   scripts/fuzz.sh [SECONDS per harness, default 20]
# New inputs go to build/fuzz/corpus/<name>/, never into the checked-in seeds; a crash,
# leak or hang leaves its input in build/fuzz/artifacts/ and makes the script fail.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-20}
"$top/scripts/build.sh" fuzz

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
artifacts="$top/build/fuzz/artifacts"
mkdir -p "$artifacts"
status=0
harnesses=("$top"/build/fuzz/bin/fuzz_*)
if [ ! -x "${harnesses[0]}" ]; then
  echo "FAIL no fuzz harness built in build/fuzz/bin"
  exit 1
fi
for harness in "${harnesses[@]}"; do
  name=${harness##*/fuzz_}
  work="$top/build/fuzz/corpus/$name"
  mkdir -p "$work"
  seeds=()
  [ -d "$top/tests/fuzz/corpus/$name" ] && seeds=("$top/tests/fuzz/corpus/$name")
  echo "--- fuzz_$name for ${seconds}s"
  # A fixed seed: the bounded run in the test command repeats itself; long runs vary it.
  if "$harness" -seed="${FUZZ_SEED:-1}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
       -print_final_stats=1 -artifact_prefix="$artifacts/$name-" "$work" "${seeds[@]}" \
       >"$top/build/fuzz/$name.log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^Done' "$top/build/fuzz/$name.log" || true
  else
    echo "fuzz_$name FAILED:"; tail -40 "$top/build/fuzz/$name.log"
    status=1
  fi
done
exit $status
