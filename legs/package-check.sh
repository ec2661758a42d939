#!/usr/bin/env bash
# Checks a built .deb as a user gets it: it declares the shared libraries
# its programs need, its vexlor-prog writes and verifies an image through its
# vexlor-sim (exit 0, the target's memory equal to the image) and reaches a
# board wired otherwise through the line recorder its vexlor-sim names, its
# vexlor-flash-all finds its vexlor-prog, lists and programs two simulated
# boards, each with a serial number of its own, and keeps their record (the
# report, JUnit, logs, an SQLite record database it reads back), its manual
# pages render, and the shell completions are where bash looks for them.
#
# Usage: legs/package-check.sh DEB   (the packages leg: scripts/test.sh packages)
#
# In CI (CI=true, as root) the package is installed with apt-get, and
# removed again afterwards unless it was installed before; anywhere else its
# programs run from an unpacked copy, and the machine is left as it was.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
deb=${1:?usage: $0 DEB}
if [ ! -f "$deb" ]; then
  echo "package-check: no $deb; make it: cmake --workflow --preset deb" >&2
  exit 1
fi
deb=$(readlink -f "$deb")

work=$(mktemp -d "${TMPDIR:-/tmp}/vexlor-package-check.XXXXXX")
installed_here=no
. "$root/scripts/simulator.sh"
cleanup() {
  stop_simulators
  if [ "$installed_here" = yes ]; then dpkg --purge vexlor-prog >/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

dpkg-deb -x "$deb" "$work/unpacked"

# Installed elsewhere, the programs find the libraries they link (the
# station's SQLite and PostgreSQL among them) only when the package says it
# depends on them.
depends=$(dpkg-deb -f "$deb" Depends)
packages=$(tr ',|' '\n\n' <<<"$depends" | awk '{print $1}')
for library in libc6 libstdc++6 libsqlite3-0 libpq5; do
  if ! grep -qxF "$library" <<<"$packages"; then
    echo "package-check: the package does not depend on $library: Depends: $depends" >&2
    exit 1
  fi
done
echo "-- Depends: $depends"
if [ "$(id -u)" = 0 ] && [ "${CI:-}" = true ]; then
  if ! dpkg-query -W -f='${Status}' vexlor-prog 2>/dev/null | grep -q "install ok installed"; then
    installed_here=yes
  fi
  echo "-- apt-get install $(basename "$deb")"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o DPkg::Lock::Timeout=300 "$deb" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log" >&2; exit 1; }
  bin=/usr/bin
else
  echo "-- running the programs of $(basename "$deb") from an unpacked copy"
  bin="$work/unpacked/usr/bin"
fi

echo "-- $bin/vexlor-prog against $bin/vexlor-sim"
VEXLOR_BIN_DIR="$bin" "$root/scripts/demo.sh" >"$work/demo.log" 2>&1 || { cat "$work/demo.log" >&2; exit 1; }
tail -n 1 "$work/demo.log"

echo "-- $bin/vexlor-flash-all on two simulated boards"
mkdir "$work/ports"
head -c 5000 /dev/urandom >"$work/image.bin"
for board in 1 2; do
  start_simulator "$bin/vexlor-sim" "$work/sim$board" --once --max-seconds 60 --link "$work/ports/board$board"
done
(cd "$work" && env -u VEXLOR_PROG VEXLOR_PORTS_DIR="$work/ports" "$bin/vexlor-flash-all" --list &&
  env -u VEXLOR_PROG VEXLOR_PORTS_DIR="$work/ports" "$bin/vexlor-flash-all" --report report.jsonl \
    --junit junit.xml --log-dir logs --db records.db --serial-pool line --serial-first 1 \
    --serial-at 0x20000100 --serial-format u32le --write --verify image.bin)
if [ "$(grep -c '"outcome":"ok"' "$work/report.jsonl")" != 2 ] ||
   ! grep -q 'tests="2" failures="0"' "$work/junit.xml" ||
   [ ! -s "$work/logs/board1.log" ] || [ ! -s "$work/logs/board2.log" ]; then
  echo "package-check: vexlor-flash-all kept no record of both boards" >&2
  exit 1
fi
echo "-- vexlor-flash-all: a report line, a JUnit test case and a log per board"
history=$("$bin/vexlor-flash-all" --db "$work/records.db" --history)
if [ "$(grep -c '"outcome":"ok"' <<<"$history")" != 2 ] ||
   ! grep -q '"serial_number":1,' <<<"$history" || ! grep -q '"serial_number":2,' <<<"$history" ||
   ! "$bin/vexlor-flash-all" --db "$work/records.db" --summary | grep -q ' 2/2 100.0%'; then
  echo "package-check: the record database holds no run of each board with its number:" >&2
  echo "$history" >&2
  exit 1
fi
echo "-- vexlor-flash-all --db: each board's run and serial number in SQLite, read back"

echo "-- $bin/vexlor-prog after the words of $bin/vexlor-sim --lines-from"
start_simulator "$bin/vexlor-sim" "$work/wired" --once --max-seconds 60 --wiring R1:D0 \
  --lines-from "$work/lines"
for ((tries = 0; tries < 100; tries++)); do
  words=$(sed -n 2p "$work/wired.out")
  [ -n "$words" ] && break
  sleep 0.05
done
case $words in
  "env LD_PRELOAD=$(dirname "$bin")/lib/"*) ;;
  *) echo "package-check: vexlor-sim names no line recorder of the package: $words" >&2; exit 1 ;;
esac
# The board is wired otherwise: only the recorder's line changes bring it to
# its boot loader.
(cd "$work" && eval "$words \"\$bin/vexlor-prog\" --port \"\$sim_port\" --enter D0,R1,R0,W10 image.bin") \
  >"$work/wired.log" 2>&1 || { cat "$work/wired.log" >&2; exit 1; }
wait_simulator
echo "-- ${words%% VEXLOR_LINES_TO=*}: the board wired otherwise answered"

for command in vexlor-prog vexlor-flash-all vexlor-sim; do
  completion="$work/unpacked/usr/share/bash-completion/completions/$command"
  if ! bash -n "$completion" 2>/dev/null; then
    echo "package-check: no bash completion for $command in the package" >&2
    exit 1
  fi
done
echo "-- bash completion: vexlor-prog, vexlor-flash-all, vexlor-sim"

for page in vexlor-prog vexlor-sim vexlor-flash-all; do
  text=$(MANWIDTH=80 man -l "$work/unpacked/usr/share/man/man1/$page.1.gz" 2>"$work/man.err" || true)
  if [ -s "$work/man.err" ] || ! grep -q "SEE ALSO" <<<"$text"; then
    cat "$work/man.err" >&2
    echo "package-check: the manual page of $page does not render cleanly" >&2
    exit 1
  fi
  echo "-- man $page: renders"
done
echo "package-check: $(basename "$deb") works"
