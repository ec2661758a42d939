#!/usr/bin/env bash
# Runs one leg of the build for the ci tree (legs/CMakeLists.txt): the leg's
# workflow preset, with its output kept in LOG and shown when it fails.
#
# Usage: legs/run.sh LEG LOG GROUP...
#   GROUP: the lists in scripts/packages.sh of what the leg needs (build,
#   tests, windows, ...).
#
# A leg whose Debian packages are missing cannot run here: it is skipped
# (exit 77, which ctest counts as skipped) and LOG says why. In CI
# (CI=true) no leg may be skipped, and that fails it instead.
set -euo pipefail

[ $# -ge 2 ] || { echo "usage: $0 LEG LOG GROUP..." >&2; exit 2; }
leg=$1 log=$2
shift 2
cd "$(dirname "$0")/.."
. scripts/packages.sh

needed=()
for group in "$@"; do
  list="packages_${group}[@]"
  needed+=("${!list}")
done
missing=$(packages_missing "${needed[@]}" | paste -sd ' ')
if [ -n "$missing" ]; then
  echo "$leg: cannot run here; these Debian packages are missing: $missing" | tee "$log"
  if [ "${CI:-}" = true ]; then
    echo "$leg: CI runs every leg; scripts/test.sh installs them when run as root"
    exit 1
  fi
  exit 77
fi

# Each leg's tests run as many at a time as there are cores.
export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}
if cmake --workflow --preset "$leg" >"$log" 2>&1; then
  exit 0
fi
echo "$leg: failed; its whole output follows, and stays in $log"
cat "$log"
echo "$leg: failed (the output above is in $log)"
exit 1
