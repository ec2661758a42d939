#!/usr/bin/env bash
# vexlor-flash-all: programs every board of a production line at once.
#
# Usage: vexlor-flash-all [vexlor-prog words without --port]...
#   e.g. vexlor-flash-all --write --verify firmware.bin
#
# Starts one vexlor-prog per serial adapter found in /dev/serial/by-id/, all
# at the same time, each with --port set to its adapter and the words given
# here. When all have ended it prints one line per port, "ok" or "FAILED"
# with the reason, and a count. Exit status: 0 when every port succeeded,
# 1 when any failed or no adapter was found, 2 for a usage error, 128+N when
# stopped by signal N (which every run gets too, and ends cleanly on).
#
# VEXLOR_PORTS_DIR  where the ports are (default /dev/serial/by-id): every
#                   entry is one port
# VEXLOR_PROG       the programmer (default: vexlor-prog beside this script,
#                   then build/vexlor-prog of the source tree, then on PATH)
# VEXLOR_LOG_DIR    keep each port's full console output there, as NAME.log
set -uo pipefail

me=vexlor-flash-all
ports_dir=${VEXLOR_PORTS_DIR:-/dev/serial/by-id}

for word in "$@"; do
  if [ "$word" = --port ]; then
    echo "$me: --port is set for each adapter; leave it out" >&2
    exit 2
  fi
done

here=$(dirname "$(readlink -f "$0")")
prog=${VEXLOR_PROG:-}
if [ -z "$prog" ]; then
  for candidate in "$here/vexlor-prog" "$here/../build/vexlor-prog" "$(command -v vexlor-prog)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then prog=$candidate; break; fi
  done
fi
if [ -z "$prog" ] || [ ! -x "$prog" ]; then
  echo "$me: vexlor-prog not found; set VEXLOR_PROG to its path" >&2
  exit 2
fi

ports=()
for entry in "$ports_dir"/*; do
  [ -e "$entry" ] || [ -L "$entry" ] && ports+=("$entry")
done
if [ "${#ports[@]}" -eq 0 ]; then
  echo "$me: no serial adapter found in $ports_dir" >&2
  exit 1
fi

logs=${VEXLOR_LOG_DIR:-}
if [ -n "$logs" ]; then
  mkdir -p "$logs" || exit 2
else
  logs=$(mktemp -d "${TMPDIR:-/tmp}/vexlor-flash-all.XXXXXX") || exit 2
  trap 'rm -rf "$logs"' EXIT
fi

# Each run gets a process group of its own, so a signal reaches each run
# exactly once: from here, not from the terminal as well (a second signal
# would end a run at once, without its closing line sequence).
set -m
pids=()
for port in "${ports[@]}"; do
  "$prog" --port "$port" "$@" </dev/null >"$logs/$(basename "$port").log" 2>&1 &
  pids+=($!)
done

stopped_by=0
forward() {
  local signal=$1 number=$2
  [ "$stopped_by" -eq 0 ] && stopped_by=$number
  for pid in "${pids[@]}"; do kill -s "$signal" "$pid" 2>/dev/null; done
}
trap 'forward INT 2' INT
trap 'forward TERM 15' TERM
trap 'forward HUP 1' HUP

# A trapped signal ends a wait early, with no run reaped; wait again until
# every run's status is in.
declare -A status_of=()
reaped=0
while [ "$reaped" -lt "${#pids[@]}" ]; do
  finished=
  wait -n -p finished
  status=$?
  if [ -n "${finished:-}" ]; then
    status_of[$finished]=$status
    reaped=$((reaped + 1))
  elif [ -z "$(jobs -p)" ]; then
    break
  fi
done
# A run that a signal killed may have left the job table unseen by wait -n;
# the shell still keeps its status.
for pid in "${pids[@]}"; do
  [ -n "${status_of[$pid]:-}" ] && continue
  wait "$pid"
  status_of[$pid]=$?
done

# Why a run failed, from its console output with the backspaces applied:
# the result lines ending in "- error", the messages and the indented
# reasons; a run whose read-back succeeded and still failed found the
# target's memory different from the image.
failure_text() {
  awk '
    NR <= 2 || /^done with/ || /^done without/ { next }
    {
      n = 0; pos = 0
      for (i = 1; i <= length($0); i++) {
        c = substr($0, i, 1)
        if (c == "\b") { if (pos > 0) pos--; continue }
        if (c == "\r") continue
        line[pos++] = c
        if (pos > n) n = pos
      }
      text = ""
      for (i = 0; i < n; i++) text = text line[i]
      sub(/ +$/, "", text)
      if (text ~ /^reading .* - OK$/) read_ok = 1
      if (text ~ /- error$/ || text ~ /^error:/ || text ~ /^cannot / || text ~ /^image of / || text ~ /^  /) {
        sub(/^ +/, "", text)
        sub(/\.\.$/, "", text)
        out = out (out == "" ? "" : "; ") text
      }
    }
    END {
      if (out == "" && read_ok) out = "the target'"'"'s memory differs from the image"
      print out
    }' "$1"
}

failed=0
for i in "${!ports[@]}"; do
  name=$(basename "${ports[i]}")
  status=${status_of[${pids[i]}]:-unknown}
  if [ "$status" = 0 ]; then
    echo "ok      $name"
    continue
  fi
  failed=$((failed + 1))
  reason=$(failure_text "$logs/$name.log")
  echo "FAILED  $name (exit $status)${reason:+: $reason}"
done
echo "$me: $((${#ports[@]} - failed)) of ${#ports[@]} port(s) ok"

if [ "$stopped_by" -ne 0 ]; then exit $((128 + stopped_by)); fi
[ "$failed" -eq 0 ]
