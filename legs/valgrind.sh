#!/usr/bin/env bash
# Runs the native vexlor-prog under valgrind (memcheck, full leak check)
# against vexlor-sim: the success path and the failure paths that leave the
# run early (port, image file, a container format, refused handshake, refused
# erase, silent write, short read, vanished line). Fails on any memory error
# or leak, and when a run does not end as it should.
#
# Usage: legs/valgrind.sh PROG SIM   (the valgrind leg: cmake --workflow --preset valgrind)
# Needs valgrind (apt-get install valgrind).
set -euo pipefail

[ $# -eq 2 ] || { echo "usage: $0 PROG SIM" >&2; exit 2; }
prog=$1 sim=$2
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
if ! command -v valgrind >/dev/null 2>&1; then
  echo "valgrind: not installed; apt-get install valgrind" >&2
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/vexlor-valgrind.XXXXXX")
. scripts/simulator.sh
cleanup() {
  stop_simulators
  rm -rf "$work"
}
trap cleanup EXIT

head -c 600 /dev/urandom >"$work/image.bin"
truncate -s 5G "$work/huge.bin"  # sparse: nothing is allocated
printf ':0400000001020304F2\r\n:00000001FF\r\n' >"$work/firmware.hex"

failures=0
# check NAME EXPECTED_STATUS SIM_FAULT PROG_ARGS...   (SIM_FAULT "-": none, "none": no simulator)
check() {
  local name=$1 expected=$2 fault=$3
  shift 3
  local port=./no-such-port
  if [ "$fault" != none ]; then
    local sim_args=(--once --max-seconds 120)
    [ "$fault" != - ] && sim_args+=(--fault "$fault")
    start_simulator "$sim" "$work/sim" "${sim_args[@]}"
    port=$sim_port
  fi
  local args=()
  for a in "$@"; do args+=("${a/@PORT/$port}"); done
  local status=0
  (cd "$work" && valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=all \
     --show-leak-kinds=all --log-file="$work/valgrind.log" "$prog" "${args[@]}" \
     >"$work/out.txt") || status=$?
  [ "$fault" != none ] && wait_simulator
  # Valgrind does not know the exclusive-mode ioctls (TIOCEXCL, TIOCNXCL),
  # which take no argument, and warns about them; anything else it says is a finding.
  grep -v -e "noted but unhandled ioctl 0x540[cd] with no size/direction hints" \
    -e "This could cause spurious value errors to appear" -e "README_MISSING_SYSCALL_OR_IOCTL" \
    "$work/valgrind.log" > "$work/findings.log" || true
  if [ "$status" -ne "$expected" ] || [ -s "$work/findings.log" ]; then
    echo "FAIL $name: exit status $status, expected $expected" >&2
    cat "$work/findings.log" >&2
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

check "write and verify"       0 -                        --port @PORT --write --verify image.bin
check "port cannot be opened"  1 none                     --port ./no-such-port --write image.bin
check "image missing"          1 -                        --port @PORT --write missing.bin
check "image too large"        1 -                        --port @PORT --write huge.bin
check "intel hex refused"      1 -                        --port @PORT --write firmware.hex
check "handshake refused"      1 start:refuse             --port @PORT --write --verify image.bin
check "erase refused"          1 erase.final:refuse       --port @PORT --write --verify image.bin
check "write silent"           1 write.end:silent@2       --port @PORT --write --verify image.bin
check "short read"             1 read.data:short:100@2    --port @PORT --write --verify image.bin
check "line vanishes"          1 write.address:vanish@2   --port @PORT --write --verify image.bin
check "data differs"           1 read.data:flip:3         --port @PORT --write --verify image.bin

if [ "$failures" -gt 0 ]; then
  echo "valgrind: $failures run(s) failed" >&2
  exit 1
fi
echo "valgrind: all runs clean"
