#!/usr/bin/env bash
# Builds the tool and the simulator, then writes and verifies a sample image
# through vexlor-sim, as an operator would with a board on a serial port.
# Installs the Debian packages it needs when run as root; tells anyone else
# the apt-get line. VEXLOR_BIN_DIR=DIR runs the programs in DIR instead of
# building them (/usr/bin: the installed package).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bin=${VEXLOR_BIN_DIR:-}
if [ -z "$bin" ]; then
  . "$root/scripts/packages.sh"
  need_packages demo "${packages_build[@]}"
  # Only the two programs are built, so the test frameworks are not needed.
  bin="$root/build"
  cmake -S "$root" -B "$bin" -G Ninja >/dev/null
  cmake --build "$bin" --target vexlor-prog vexlor-sim >/dev/null
fi

work=$(mktemp -d)
. "$root/scripts/simulator.sh"
cleanup() {
  stop_simulators
  rm -rf "$work"
}
trap cleanup EXIT

# A 10 000-byte sample image at the default address: sectors 0 and 1.
head -c 10000 /dev/urandom > "$work/sample.bin"

# The simulator plays the board at 115200 baud; its memory is dumped when the
# programmer closes the port.
start_simulator "$bin/vexlor-sim" "$work/sim" --once --baud 115200 --link "$work/ttyVEXLOR" \
  --dump "0x20000000:10000:$work/target.bin" --max-seconds 120

echo "\$ vexlor-prog --port $work/ttyVEXLOR --write --verify sample.bin"
status=0
(cd "$work" && "$bin/vexlor-prog" --port "$work/ttyVEXLOR" --write --verify sample.bin) || status=$?
wait_simulator

if cmp -s "$work/sample.bin" "$work/target.bin"; then
  echo "target memory at 0x20000000 matches sample.bin ($(stat -c %s "$work/target.bin") bytes)"
else
  echo "target memory at 0x20000000 does NOT match sample.bin" >&2
  status=1
fi
exit "$status"
