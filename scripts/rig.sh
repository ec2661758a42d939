#!/usr/bin/env bash
# The kernel-driver rig: runs the real, statically linked vexlor-prog (and the
# station's --list) inside a QEMU guest booting Debian's own kernel, against
# two ports whose far ends are vexlor-sim processes on the host:
#   COM2    -> /dev/ttyS1:   the 8250/16550 UART driver (QEMU's second serial port)
#   ttyUSB0 -> /dev/ttyUSB0: the ftdi_sio USB serial driver (QEMU's emulated FTDI adapter)
# QEMU's device traces show what the drivers did to the hardware (modem
# control register writes, FTDI vendor requests); scripts/rig/checks.py judges
# every run from them, the simulators' logs and memory dumps, and the guest's
# reports, and prints one line per check.
#
# Needs: qemu-system-x86 (--no-install-recommends), busybox-static, cpio,
# python3, and apt-get to fetch the kernel once. The kernel and five modules
# are kept in ${XDG_CACHE_HOME:-$HOME/.cache}/vexlor-prog/rig/; everything of
# the last run (console, trace, simulator logs and dumps) in build-static/rig/.
#
# Exits 0 when every check passes, 1 when one fails, 77 when a prerequisite is
# missing (nothing was run).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build_static="$root/build-static"
out="$build_static/rig"
cache="${XDG_CACHE_HOME:-${HOME:-$build_static}/.cache}/vexlor-prog/rig"
qemu_seconds=150  # the whole guest: boot and every run

# --- Prerequisites, before anything is built or started.
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

# --- The programmer and the station, linked statically for the guest; the simulator for the host.
# Runs a build step with its output kept aside, shown only when it fails.
quietly() {
  local log
  log=$(mktemp)
  if ! "$@" > "$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    echo "rig: failed: $*" >&2
    exit 1
  fi
  rm -f "$log"
}
echo "rig: building"
quietly cmake -S . -B "$build_static" -G Ninja -DCMAKE_EXE_LINKER_FLAGS=-static -DVEXLOR_BENCH=OFF
quietly cmake --build "$build_static" --target vexlor-prog vexlor-flash-all
[ -f build/CMakeCache.txt ] || quietly cmake -S . -B build -G Ninja
quietly cmake --build build --target vexlor-sim
kernel=$(scripts/rig/kernel.sh "$cache")

# --- The guest's root: busybox, the modules, the programmer, /init, the checks' plan.
rm -rf "$out"
mkdir -p "$out/root/bin" "$out/root/lib/modules" "$out/root/rig" "$out/root/dev" "$out/root/proc" "$out/root/sys" \
  "$out/root/etc"
# An ordinary user for the checks that need one.
printf '%s\n' "root:x:0:0::/:/bin/sh" "rigger:x:1000:1000::/:/bin/sh" > "$out/root/etc/passwd"
printf '%s\n' "root:x:0:" "rigger:x:1000:" > "$out/root/etc/group"
cp "$busybox" "$out/root/bin/busybox"
cp "$kernel"/*.ko "$out/root/lib/modules/"
objcopy --strip-debug "$build_static/vexlor-prog" "$out/root/bin/vexlor-prog"
objcopy --strip-debug "$build_static/vexlor-flash-all" "$out/root/bin/vexlor-flash-all"
cp scripts/rig/guest.sh "$out/root/init"
chmod +x "$out/root/init"
# NAME DEVICE DRIVER: the names the programmer is given, and what is behind them.
printf '%s\n' "COM2 /dev/ttyS1 uart" "ttyUSB0 /dev/ttyUSB0 ftdi" > "$out/root/rig/ports"
python3 scripts/rig/checks.py prepare "$out"
(cd "$out/root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) > "$out/initramfs.cpio"

# --- Simulators and QEMU, always cleaned up.
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# Starts a simulator for port $1; sets sim_pty to its pseudo-terminal.
start_sim() {
  local name=$1 extra
  mapfile -t extra < <(python3 scripts/rig/checks.py sim-args "$out" "$name")
  build/vexlor-sim --log "$out/sim-$name.log" --max-seconds $((qemu_seconds + 30)) "${extra[@]}" \
    > "$out/sim-$name.out" 2> "$out/sim-$name.err" &
  pids+=($!)
  sim_pty=
  for _ in $(seq 100); do
    sim_pty=$(head -n 1 "$out/sim-$name.out" 2>/dev/null || true)
    [ -n "$sim_pty" ] && return 0
    sleep 0.05
  done
  echo "rig: vexlor-sim for $name printed no pty: $(cat "$out/sim-$name.err")" >&2
  exit 1
}

start_sim COM2
uart_pty=$sim_pty
start_sim ttyUSB0
ftdi_pty=$sim_pty

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
python3 scripts/rig/checks.py unplug "$out" "$qemu_seconds" &
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
python3 scripts/rig/checks.py verdict "$out" "$qemu_start" || verdict=$?
if [ "$verdict" -ne 0 ] || [ "$qemu_status" -ne 0 ]; then
  echo "rig: FAILED; logs in $out" >&2
  exit 1
fi
