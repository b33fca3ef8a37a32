#!/usr/bin/env bash
# Configures and builds one flavour of the project into build/<flavour>.
#   scripts/build.sh release | tools | asan | tsan | windows | windows32 | fuzz [TARGET...]
# With targets, only those are built (the demo needs just the two tools). `tools` is the release
# build without its tests and benchmarks, into build/release too: what the demo needs, built
# with the demo's packages alone (no GoogleTest, no Google Benchmark).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
flavour=${1:-release}
shift || true
dir="$top/build/${flavour/tools/release}"
args=(-G Ninja -S "$top" -B "$dir")
case "$flavour" in
  release) args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVOLO_TESTS=ON -DTARVOLO_BENCH=ON) ;;
  tools)   args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVOLO_TESTS=OFF -DTARVOLO_BENCH=OFF) ;;
  asan)    args+=(-DCMAKE_BUILD_TYPE=Debug -DTARVOLO_SANITIZE=ON -DTARVOLO_BENCH=ON) ;;
  tsan)    args+=(-DCMAKE_BUILD_TYPE=Debug -DTARVOLO_TSAN=ON -DTARVOLO_BENCH=OFF) ;;
  windows) args+=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" -DTARVOLO_BENCH=OFF) ;;
  windows32) args+=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-i686.cmake" -DTARVOLO_BENCH=OFF) ;;
  fuzz)    args+=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTARVOLO_FUZZ=ON -DTARVOLO_TESTS=OFF -DTARVOLO_BENCH=OFF) ;;
  *) echo "unknown flavour: $flavour" >&2; exit 64 ;;
esac
cmake "${args[@]}" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
