#!/bin/busybox sh
# /init of the rig's guest: loads the USB serial drivers, runs every planned
# check against its port and reports each run on the console. The host
# (legs/rig/checks.py) judges what the runs did; nothing here decides.
#
# /rig/ports: NAME DEVICE DRIVER, one port a line (COM2 /dev/ttyS1 uart).
# /rig/plan:  INDEX CHECK PORT ADDRESS IMAGE, one run a line, in order.
# /rig/lines: the --enter and --leave of the custom_lines check.
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

# Another program's attempt during the run, reported apart from the run's
# own output: its output, then "status=N".
intrude() {
  { "$@"; echo "status=$?"; } > /rig/aside 2>&1 < /dev/null
}

# The simulator behind the port never answers this run's start byte.
check_silent() { flash "$@"; }

# The opening and closing sequences the host chose (/rig/lines: ENTER
# LEAVE), the handshake alone, two attempts: the simulator lets the first
# start byte pass.
check_custom_lines() {
  read -r enter leave < /rig/lines
  timeout -s KILL 60 vexlor-prog --port "$1" --enter "$enter" --leave "$leave" \
    --connect-attempts 2 "$3"
}

check_write_verify() { flash "$@"; }

# Flash, then wait for the board's banner: the simulator's boot loader starts
# its application once the host has been quiet for eight seconds.
check_expect() {
  timeout -s KILL 60 vexlor-prog --port "$1" --address "$2" --write --verify \
    --expect "rig app v1" --expect-within 30 "$3"
}
check_gap() { flash "$@"; }
check_gap_too_long() { flash "$@"; }

# A second run, as root, while the first flashes: the lock refuses it.
check_in_use() {
  flash "$@" > /rig/first 2>&1 &
  first=$!
  sleep 0.5
  intrude timeout -s KILL 60 vexlor-prog --port "$1" --address "$2" --write "$3"
  wait "$first"
  status=$?
  cat /rig/first
  return "$status"
}

# A second run by an ordinary user, on a device anyone may open, while the
# first flashes: the kernel's exclusive mode refuses the open itself, before
# it can raise DTR and RTS.
check_exclusive() {
  chmod 0666 "$(device_of "$1")"
  flash "$@" > /rig/first 2>&1 &
  first=$!
  sleep 0.5
  intrude su -s /bin/sh rigger -c "timeout -s KILL 60 vexlor-prog --port $1 --address $2 --write $3"
  wait "$first"
  status=$?
  chmod 0600 "$(device_of "$1")"
  cat /rig/first
  return "$status"
}

# SIGTERM in the middle of the write (a background job of a script has
# SIGINT ignored, as the tool leaves it).
check_stopped() {
  vexlor-prog --port "$1" --address "$2" --write --verify "$3" &
  run=$!
  sleep 1
  kill -TERM "$run"
  wait "$run"
}

# A stopped run may leave the target in the middle of a command: a board is
# reset by the closing sequence, but the simulator behind the port cannot
# see the lines. Bytes enough to finish any command (a length byte and 256
# bytes of data) bring it back to its command state; the next run's open
# drains what it answers. Run after the run's end mark, so outside it.
settle_stopped() {
  head -c 300 /dev/zero > "$(device_of "$1")"
}

# Asked for a rate the 8250's clock cannot make: the handshake alone, whose
# output is short enough for the report's tail.
check_rate() {
  timeout -s KILL 60 vexlor-prog --port "$1" --baudrate 250000 "$3"
}

# The station's --list on a folder holding one link to the port, as udev's
# /dev/serial/by-id would: the guest has no udev, so what it shows of the
# adapter comes from sysfs alone.
check_list() {
  rm -rf /rig/by-id
  mkdir /rig/by-id
  ln -s "$(device_of "$1")" "/rig/by-id/$1"
  timeout -s KILL 60 vexlor-flash-all --list --ports-dir /rig/by-id
}

# The host unplugs the USB adapter (QEMU's device_del) a second into the
# write; the run must end at once. Other ports have nothing to unplug.
check_unplug() {
  [ "$(driver_of "$1")" = ftdi ] || return 0
  echo "@rig unplug now" > /dev/console
  flash "$@"
}

driver_of() {
  while read -r name device driver; do
    [ "$name" = "$1" ] && echo "$driver"
  done < /rig/ports
}

device_of() {
  while read -r name device driver; do
    [ "$name" = "$1" ] && echo "$device"
  done < /rig/ports
}

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
  if command -v "settle_$check" >/dev/null 2>&1; then "settle_$check" "$port"; fi
  echo "@rig ran $index status=$status tail=$(tail -c 200 /rig/out | od -An -v -tx1 | tr -d ' \n')"
  if [ -e /rig/aside ]; then
    echo "@rig aside $index $(head -c 400 /rig/aside | od -An -v -tx1 | tr -d ' \n')"
    rm /rig/aside
  fi
done < /rig/plan
mark 254
echo "@rig done"
poweroff -f
