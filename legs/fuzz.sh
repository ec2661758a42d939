#!/usr/bin/env bash
# Runs one libFuzzer target for the given number of seconds, starting from
# its seed corpus in fuzz/corpus/<name>/. New inputs go to corpus/<name>/
# beside the target, so the seeds in the repository stay small. Any finding
# fails the run and leaves its input beside the target (crash-*, timeout-*,
# leak-*).
#
# Usage: legs/fuzz.sh FUZZER SECONDS   (the fuzz leg: cmake --workflow --preset fuzz)
set -euo pipefail

[ $# -eq 2 ] || { echo "usage: $0 FUZZER SECONDS" >&2; exit 2; }
fuzzer=$(readlink -f "$1")
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(dirname "$fuzzer")
target=$(basename "$fuzzer")
name=${target#fuzz_}

mkdir -p "$build/corpus/$name"
log="$build/$target.log"
echo "-- $target for ${seconds}s"
# -max_len: a read block needs 257 answer bytes; 8 KiB lets a run get
# through some thirty blocks. -timeout: one input taking seconds is a hang.
if ! "$fuzzer" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
     -print_final_stats=1 -artifact_prefix="$build/" \
     "$build/corpus/$name" "$root/fuzz/corpus/$name" >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "fuzz: $target found a problem; full log in $log" >&2
  exit 1
fi
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
echo "   $runs executions, no findings"
