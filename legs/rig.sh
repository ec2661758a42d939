#!/usr/bin/env bash
# The kernel-driver rig: runs the real, statically linked vexlor-prog (and the
# station's --list) inside a QEMU guest booting Debian's own kernel, against
# two ports whose far ends are vexlor-sim processes on the host:
#   COM2    -> /dev/ttyS1:   the 8250/16550 UART driver (QEMU's second serial port)
#   ttyUSB0 -> /dev/ttyUSB0: the ftdi_sio USB serial driver (QEMU's emulated FTDI adapter)
# QEMU's device traces show what the drivers did to the hardware (modem
# control register writes, FTDI vendor requests); legs/rig/checks.py judges
# every run from them, the simulators' logs and memory dumps, and the guest's
# reports, and prints one line per check.
#
# Usage: legs/rig.sh PROG STATION SIM OUT
#   PROG     a statically linked vexlor-prog (the guest has no C library)
#   STATION  a statically linked vexlor-flash-all
#   SIM      the vexlor-sim to run on the host
#   OUT   where everything of the run goes (console, trace, simulator logs
#         and dumps); emptied first
# The rig leg (scripts/test.sh rig) builds all three and runs this: the
# static ones with cmake --workflow --preset static, then
# cmake --workflow --preset rig.
#
# Needs: qemu-system-x86 (--no-install-recommends), busybox-static, cpio,
# python3, and apt-get to fetch the kernel once. The kernel and five modules
# are kept in ${XDG_CACHE_HOME:-$HOME/.cache}/vexlor-prog/rig/.
#
# Exits 0 when every check passes, 1 when one fails, 77 when a prerequisite is
# missing (nothing was run).
set -euo pipefail

[ $# -eq 4 ] || { echo "usage: $0 PROG STATION SIM OUT" >&2; exit 2; }
prog=$(readlink -f "$1")
station=$(readlink -f "$2")
sim=$(readlink -f "$3")
out=$(readlink -f "$4")
cd "$(dirname "$0")/.."
cache="${XDG_CACHE_HOME:-${HOME:-$out}/.cache}/vexlor-prog/rig"
qemu_seconds=150  # the whole guest: boot and every run

# --- Prerequisites, before anything is started.
missing=()
command -v qemu-system-x86_64 >/dev/null 2>&1 || missing+=("qemu-system-x86_64 (qemu-system-x86)")
command -v cpio >/dev/null 2>&1 || missing+=("cpio")
command -v python3 >/dev/null 2>&1 || missing+=("python3")
busybox=$(command -v busybox 2>/dev/null || true)
# The guest has no C library: only a statically linked busybox runs there.
if [ -z "$busybox" ] || [[ $(LC_ALL=C readelf -l "$busybox" 2>&1) == *"program interpreter"* ]]; then
  missing+=("a static busybox (busybox-static)")
fi
if [ "${#missing[@]}" -gt 0 ]; then
  printf 'rig: missing %s\n' "${missing[@]}" >&2
  echo "rig: apt-get install --no-install-recommends qemu-system-x86 busybox-static cpio python3" >&2
  exit 77
fi
for program in "$prog" "$station" "$sim"; do
  if [ ! -x "$program" ]; then
    echo "rig: no $program; build it: cmake --workflow --preset static && cmake --build --preset rig" >&2
    exit 1
  fi
done
kernel=$(legs/rig/kernel.sh "$cache")

# --- The guest's root: busybox, the modules, the programmer, /init, the checks' plan.
rm -rf "$out"
mkdir -p "$out/root/bin" "$out/root/lib/modules" "$out/root/rig" "$out/root/dev" "$out/root/proc" "$out/root/sys" \
  "$out/root/etc"
# An ordinary user for the checks that need one.
printf '%s\n' "root:x:0:0::/:/bin/sh" "rigger:x:1000:1000::/:/bin/sh" > "$out/root/etc/passwd"
printf '%s\n' "root:x:0:" "rigger:x:1000:" > "$out/root/etc/group"
cp "$busybox" "$out/root/bin/busybox"
cp "$kernel"/*.ko "$out/root/lib/modules/"
objcopy --strip-debug "$prog" "$out/root/bin/vexlor-prog"
objcopy --strip-debug "$station" "$out/root/bin/vexlor-flash-all"
cp legs/rig/guest.sh "$out/root/init"
chmod +x "$out/root/init"
# NAME DEVICE DRIVER: the names the programmer is given, and what is behind them.
printf '%s\n' "COM2 /dev/ttyS1 uart" "ttyUSB0 /dev/ttyUSB0 ftdi" > "$out/root/rig/ports"
python3 legs/rig/checks.py prepare "$out"
(cd "$out/root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) > "$out/initramfs.cpio"

# --- Simulators and QEMU, always cleaned up.
. scripts/simulator.sh
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
  stop_simulators
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# Starts a simulator for port $1; sets sim_port to its pseudo-terminal.
start_sim() {
  local name=$1 extra
  mapfile -t extra < <(python3 legs/rig/checks.py sim-args "$out" "$name")
  start_simulator "$sim" "$out/sim-$name" --log "$out/sim-$name.log" \
    --max-seconds $((qemu_seconds + 30)) "${extra[@]}"
}

start_sim COM2
uart_pty=$sim_port
start_sim ttyUSB0
ftdi_pty=$sim_port
ftdi_sim=$sim_pid

echo "rig: booting the guest (kernel $(basename "$kernel"))"
qemu_start=$(date +%s.%N)
# QEMU's stdin is /dev/null: a terminal it was started from stays as it was.
# It runs in the background so that a signal to this script ends it at once
# (bash runs a trap only once the foreground command has finished).
timeout -k 5 "$qemu_seconds" qemu-system-x86_64 -m 256 -nographic -no-reboot -nic none \
  -kernel "$kernel/vmlinuz" -initrd "$out/initramfs.cpio" -append "console=ttyS0 quiet panic=-1" \
  -serial mon:stdio \
  -chardev serial,id=s1,path="$uart_pty" -serial chardev:s1 \
  -usb -chardev serial,id=u1,path="$ftdi_pty" -device usb-serial,chardev=u1,id=adapter \
  -qmp unix:"$out/qmp.sock",server=on,wait=off \
  -msg timestamp=on -trace serial_write -trace usb_serial_handle_control -D "$out/trace.log" \
  < /dev/null > "$out/console.log" 2>&1 &
qemu_pid=$!
pids+=("$qemu_pid")
# Unplugs the USB adapter when the guest's unplug run has begun.
python3 legs/rig/checks.py unplug "$out" "$qemu_seconds" "$ftdi_sim" &
pids+=($!)
qemu_status=0
wait "$qemu_pid" || qemu_status=$?
qemu_end=$(date +%s.%N)
if [ "$qemu_status" -ne 0 ]; then
  echo "rig: QEMU ended with status $qemu_status (124: not done within $qemu_seconds s); see $out/console.log" >&2
fi
# The simulators write their memory dumps as they exit.
cleanup
echo "rig: QEMU ran $(awk -v a="$qemu_start" -v b="$qemu_end" 'BEGIN { printf "%.1f", b - a }') s"

verdict=0
python3 legs/rig/checks.py verdict "$out" "$qemu_start" || verdict=$?
if [ "$verdict" -ne 0 ] || [ "$qemu_status" -ne 0 ]; then
  echo "rig: FAILED; logs in $out" >&2
  exit 1
fi
