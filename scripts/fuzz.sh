#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for the
# given number of seconds (default 60), starting from the seed corpus in
# fuzz/corpus/<target>/. New inputs go to build-fuzz/corpus/<target>/, so the
# seeds in the repository stay small. Any finding fails the script and leaves
# its input in build-fuzz/ (crash-*, timeout-*, leak-*).
#
# Needs clang and libFuzzer: apt-get install clang libclang-rt-14-dev
set -euo pipefail

seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=build-fuzz

clang=$(command -v clang++ || command -v clang++-14 || true)
if [ -z "$clang" ]; then
  echo "fuzz: clang++ not found; install clang libclang-rt-14-dev" >&2
  exit 1
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$clang" -DVEXLOR_FUZZ=ON -DVEXLOR_TESTS=ON -DVEXLOR_BENCH=OFF >/dev/null
cmake --build "$build" --target fuzz_options fuzz_protocol fuzz_image_format

for target in options protocol image_format; do
  mkdir -p "$build/corpus/$target"
  log="$build/fuzz_$target.log"
  echo "-- fuzz_$target for ${seconds}s"
  # -max_len: a read block needs 257 answer bytes; 8 KiB lets a run get
  # through some thirty blocks. -timeout: one input taking seconds is a hang.
  if ! "$build/fuzz_$target" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
       -print_final_stats=1 -artifact_prefix="$build/" \
       "$build/corpus/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "fuzz: fuzz_$target found a problem; full log in $log" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "   $runs executions, no findings"
done
