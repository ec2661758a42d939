#!/bin/sh
# Gives a serial device a COM name inside a Wine prefix.
#
# Usage: scripts/wine-com.sh [-p PREFIX] COMn DEVICE   map COMn to DEVICE
#        scripts/wine-com.sh [-p PREFIX] -d COMn       remove the mapping
#   PREFIX defaults to $WINEPREFIX, then to what scripts/wine-prefix.sh uses.
# Example: scripts/wine-com.sh COM5 /dev/pts/3
set -eu

usage() {
  echo "usage: $0 [-p PREFIX] COMn DEVICE | [-p PREFIX] -d COMn" >&2
  exit 2
}

if ! command -v wine >/dev/null 2>&1; then
  echo "wine-com: wine is not installed; install the Debian packages wine and wine64" >&2
  exit 3
fi

prefix=${WINEPREFIX:-$("$(dirname "$0")/wine-prefix.sh" --path)}
remove=no
while [ $# -gt 0 ]; do
  case $1 in
    -p) [ $# -ge 2 ] || usage; prefix=$2; shift 2 ;;
    -d) remove=yes; shift ;;
    *) break ;;
  esac
done
if [ $remove = yes ]; then [ $# -eq 1 ] || usage; else [ $# -eq 2 ] || usage; fi

name=$1
number=${name#COM}
case $number in
  '' | 0* | *[!0-9]*) echo "wine-com: $name is not a port name COMn, n from 1" >&2; exit 2 ;;
esac
if [ ! -d "$prefix/dosdevices" ]; then
  echo "wine-com: $prefix is not a Wine prefix; run scripts/wine-prefix.sh first" >&2
  exit 1
fi

export WINEPREFIX="$prefix"
export WINEDEBUG=-all
link="$prefix/dosdevices/com$number"
ports='HKLM\Software\Wine\Ports'

if [ $remove = yes ]; then
  rm -f "$link"
  wine reg delete "$ports" /v "$name" /f >/dev/null 2>&1 || true
  exit 0
fi

# The COM link leads to the device itself, so the mapping shows the real
# device and does not depend on another link (such as vexlor-sim --link makes).
device=$(readlink -f "$2")
if [ ! -c "$device" ]; then
  echo "wine-com: $device is not a character device" >&2
  exit 1
fi
# A port on Windows has no line discipline; a Unix terminal keeps its line
# editing and echo until the program's first SetCommState. Raw from the
# start, the device behaves under Wine as a port does on Windows.
stty -F "$device" raw -echo

# The link serves at once. The registry entry keeps it when a new wineserver
# starts: Wine then numbers the machine's own serial devices from COM1 up,
# rewriting their links, and skips only the numbers listed there.
ln -sfn "$device" "$link"
wine reg add "$ports" /v "$name" /d "$device" /f >/dev/null
