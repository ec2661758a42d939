#!/usr/bin/env bash
# Builds vexlor-prog, vexlor-sim and vexlor-bench, then runs the benchmark:
# the real tool against the paced simulator at 115200, 921600 and 2000000
# baud and on an unpaced pty. Prints the figures and the speed goals; exits
# non-zero when a goal is missed. Arguments go to vexlor-bench:
#   --runs N (default 5)   --large (also 256 KiB)   --bauds B,B,...   --no-lean
#   --cost N (what a board costs)   --station N (N boards through vexlor-flash-all)
#   --sparse (a sparse image as a padded binary against as Intel HEX)
#   --changed (--changed-only against a plain flash, 256 KiB at 115200 baud)
# VEXLOR_BENCH_BUILD names another build directory (default: build).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${VEXLOR_BENCH_BUILD:-$root/build}
cmake -S "$root" -B "$build" -G Ninja -DVEXLOR_BENCH=ON >/dev/null
cmake --build "$build" --target vexlor-bench >/dev/null
exec "$build/vexlor-bench" "$@"
