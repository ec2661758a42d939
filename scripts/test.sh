#!/usr/bin/env bash
# Builds everything and runs every test: the legs listed below, one after
# another whatever the others did, each by its workflow presets
# (CMakePresets.json). It ends with one line per leg: passed, failed or
# skipped, its time, and the closing line of its tests. What each leg checks,
# and how to run one alone: docs/testing.md.
#
# Usage: scripts/test.sh [--no-install] [LEG...]
#   LEG           only these legs (default: every leg), in the order below
#   --no-install  install nothing: a leg whose Debian packages are missing
#                 is skipped, and its line says which
#
# Installs what the legs need (scripts/packages.sh) when run as root; tells
# anyone else the apt-get line to run, and stops. CI (.ci/run) runs this
# with CI=true: no leg may be skipped (one that would be fails instead), and
# the .deb is installed with apt-get to be checked as a user gets it. Each
# leg's whole output is kept in build-ci/LEG.log, and shown when it fails.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

# The legs, in the order they run. A leg runs its workflow presets in turn:
# the last one runs the leg's tests, any before it make the builds those
# tests check (the Windows build, the static one, the .deb). It needs the
# Debian packages of the named lists of scripts/packages.sh.
#      leg        workflows             package lists
legs=(
  "lint       lint                  build tests style docs"
  "native     native                build tests"
  "windows    windows,wine          build tests windows docs"
  "rig        static,rig            build tests rig"
  "sanitizers sanitizers            build tests"
  "fuzz       fuzz                  build tests fuzz"
  "valgrind   valgrind              build tests valgrind"
  "packages   windows,deb,packages  build tests windows docs release"
)
# A leg ends within 45 minutes: the slowest, the sanitizers', took 22 on 2
# cores shared with five other builds, and a Wine prefix or a kernel fetched
# on first use adds some 10.
leg_seconds=2700
logs=build-ci

install=yes
chosen=()
for arg in "$@"; do
  case $arg in
    --no-install) install=no ;;
    -*) echo "usage: $0 [--no-install] [LEG...]" >&2; exit 2 ;;
    *) chosen+=("$arg") ;;
  esac
done
# leg_chosen NAME: whether NAME runs this time.
leg_chosen() {
  [ "${#chosen[@]}" -eq 0 ] && return 0
  local name
  for name in "${chosen[@]}"; do [ "$name" = "$1" ] && return 0; done
  return 1
}
for name in "${chosen[@]}"; do
  if ! printf '%s\n' "${legs[@]}" | grep -q "^$name "; then
    echo "test: no leg $name; the legs: $(printf '%s\n' "${legs[@]}" | cut -d' ' -f1 | paste -sd ' ')" >&2
    exit 2
  fi
done

if [ "$install" = yes ]; then
  lists=$(for leg in "${legs[@]}"; do
    read -r name _ groups <<<"$leg"
    if leg_chosen "$name"; then printf '%s\n' $groups; fi
  done | awk '!seen[$0]++')
  # The rig's QEMU is installed without its recommended packages, which
  # would be a desktop stack.
  packages_hint="or run the legs that can run here: scripts/test.sh --no-install skips the others"
  need_packages test $(packages_of $(grep -vx rig <<<"$lists")) \
    --no-recommends $(packages_of $(grep -x rig <<<"$lists" || true))
  # The rig fetches the kernel package with apt-get download.
  if grep -qx rig <<<"$lists"; then need_package_lists test; fi
fi

mkdir -p "$logs"
# Each leg's tests run twice as many at a time as there are cores: they wait
# on real time (a line at its baud rate, a board's silence, a stop's grace)
# far more than they compute, and use about half a core at that. A fuzzer
# computes all the time, and a run under Wine much of it: each takes two of
# these places (legs/fuzz.cmake, tests/CMakeLists.txt).
export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$((2 * $(nproc 2>/dev/null || echo 2)))}

# seconds_since MICROSECONDS: the time since then, in seconds.
seconds_since() {
  local now=${EPOCHREALTIME/./}
  awk -v us=$((now - $1)) 'BEGIN { printf "%.1f", us / 1e6 }'
}

# run_workflow WORKFLOW LOG SECONDS: the workflow preset, its output added
# to LOG, ended after SECONDS with the whole tree of processes it started.
# It runs in the background so that a stop request reaches it at once.
running=
run_workflow() {
  local status=0
  timeout "$3" cmake --workflow --preset "$1" >>"$2" 2>&1 &
  running=$!
  wait "$running" || status=$?
  running=
  return "$status"
}
stop() {
  if [ -n "$running" ]; then
    kill -TERM "$running" 2>/dev/null || true
    wait "$running" || true
  fi
  exit "$1"
}
trap 'stop 130' INT
trap 'stop 143' TERM

# run_leg NAME WORKFLOWS LIST...: one leg, the lists of scripts/packages.sh
# it needs; prints its line and adds it to the summary.
summary=() passed=0 failed=0 skipped=0
run_leg() {
  local name=$1 workflows=${2//,/ } log=$logs/$1.log
  shift 2
  local start=${EPOCHREALTIME/./} missing result note status=0 workflow left
  echo "== $name: cmake --workflow --preset ${workflows// /, then --preset }"
  missing=$(packages_missing $(packages_of "$@") | paste -sd ' ')
  if [ -n "$missing" ]; then
    note="these Debian packages are missing: $missing"
    echo "$name: cannot run here; $note" >"$log"
    result=skipped
    if [ "${CI:-}" = true ]; then
      echo "$name: CI runs every leg; scripts/test.sh installs them when run as root" >>"$log"
      result=failed
    fi
  else
    : >"$log"
    for workflow in $workflows; do
      left=$((leg_seconds - $(date +%s) + start / 1000000))
      if [ "$left" -le 0 ]; then status=124; break; fi
      run_workflow "$workflow" "$log" "$left" || status=$?
      [ "$status" -eq 0 ] || break
    done
    if [ "$status" -eq 124 ]; then echo "$name: did not end within $leg_seconds s" >>"$log"; fi
    note=$(grep -E '^[0-9]+% tests passed|^No tests were found' "$log" | tail -n 1 || true)
    note=${note:-no tests ran}
    if [ "$status" -eq 0 ]; then result=passed; else result=failed; fi
  fi
  case $result in
    passed) passed=$((passed + 1)) ;;
    skipped) skipped=$((skipped + 1)) ;;
    failed)
      failed=$((failed + 1))
      echo "$name: failed; its whole output follows, and stays in $log"
      cat "$log"
      ;;
  esac
  summary+=("$(printf '%-11s %-8s %8s s   %s' "$name" "$result" "$(seconds_since "$start")" "$note")")
  echo "${summary[-1]}"
}

start=${EPOCHREALTIME/./}
for leg in "${legs[@]}"; do
  read -r name workflows groups <<<"$leg"
  leg_chosen "$name" || continue
  run_leg "$name" "$workflows" $groups
done

echo
echo "== the legs in $(seconds_since "$start") s: $passed passed, $failed failed," \
  "$skipped skipped; their output is in $logs/"
printf '%s\n' "${summary[@]}"
[ "$failed" -eq 0 ]
