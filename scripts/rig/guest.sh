#!/bin/busybox sh
# /init of the rig's guest: loads the USB serial drivers, runs every planned
# check against its port and reports each run on the console. The host
# (scripts/rig/checks.py) judges what the runs did; nothing here decides.
#
# /rig/ports: NAME DEVICE DRIVER, one port a line (COM2 /dev/ttyS1 uart).
# /rig/plan:  INDEX CHECK PORT ADDRESS IMAGE, one run a line, in order.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev

for module in usb-common usbcore uhci-hcd usbserial ftdi_sio; do
  insmod "/lib/modules/$module.ko" || echo "@rig insmod $module failed"
done

# Writes a byte to the console UART's scratch register, which nothing else
# uses after boot: it shows in QEMU's serial trace, so the host cuts the
# trace into runs exactly, in the same stream as the drivers' requests.
mark() {
  printf "\\$(printf %03o "$1")" | dd of=/dev/port bs=1 seek=1023 conv=notrunc 2>/dev/null
}

# The USB adapter shows up some time after its driver is loaded.
while read -r name device driver; do
  tries=0
  while [ ! -e "$device" ] && [ "$tries" -lt 100 ]; do
    sleep 0.1
    tries=$((tries + 1))
  done
  [ -e "$device" ] || echo "@rig missing $device"
done < /rig/ports

# --- The checks: check_NAME PORT ADDRESS IMAGE. Whatever they print and
# their exit status are the run's; the entry of the same name in the host's
# CHECKS judges them. Every wait is bounded: a run that hangs is killed.
flash() {
  timeout -s KILL 60 vexlor-prog --port "$1" --address "$2" --write --verify "$3"
}

# The simulator behind the port never answers this run's start byte.
check_silent() { flash "$@"; }

check_write_verify() { flash "$@"; }

# --- Main: each run between two marks (INDEX before, 128 + INDEX after;
# 255 once the ports are there, 254 at the end),
# then one report line: exit status and the last bytes of its output in hex.
mark 255
read -r uptime idle < /proc/uptime
echo "@rig booted: kernel up $uptime s"
while read -r index check port address image; do
  mark "$index"
  "check_$check" "$port" "$address" "/rig/$image" > /rig/out < /dev/null 2>&1
  status=$?
  mark $((index + 128))
  echo "@rig ran $index status=$status tail=$(tail -c 200 /rig/out | od -An -v -tx1 | tr -d ' \n')"
done < /rig/plan
mark 254
echo "@rig done"
poweroff -f
