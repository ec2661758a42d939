#!/usr/bin/env bash
# Builds the tool and the simulator, then writes and verifies a sample image
# through vexlor-sim, as an operator would with a board on a serial port.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target vexlor-prog vexlor-sim >/dev/null

work=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# A 10 000-byte sample image at the default address: sectors 0 and 1.
head -c 10000 /dev/urandom > "$work/sample.bin"

# The simulator plays the board at 115200 baud; its memory is dumped when the
# programmer closes the port.
"$build/vexlor-sim" --once --baud 115200 --link "$work/ttyVEXLOR" \
  --dump "0x20000000:10000:$work/target.bin" --max-seconds 120 > "$work/sim.out" 2> "$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do [ -e "$work/ttyVEXLOR" ] && break; sleep 0.05; done

echo "\$ vexlor-prog --port $work/ttyVEXLOR --write --verify sample.bin"
status=0
(cd "$work" && "$build/vexlor-prog" --port "$work/ttyVEXLOR" --write --verify sample.bin) || status=$?
wait "$sim_pid" || true
sim_pid=

if cmp -s "$work/sample.bin" "$work/target.bin"; then
  echo "target memory at 0x20000000 matches sample.bin ($(stat -c %s "$work/target.bin") bytes)"
else
  echo "target memory at 0x20000000 does NOT match sample.bin" >&2
  status=1
fi
exit "$status"
