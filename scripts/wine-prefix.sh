#!/bin/sh
# Creates the Wine prefix the Windows build runs in, once, and prints its path.
# Also starts the prefix's wineserver if none is running; it ends
# VEXLOR_WINE_LINGER seconds (default 600) after the last Wine program.
#
# Usage: scripts/wine-prefix.sh [PATH]
#        scripts/wine-prefix.sh --path   only print where the prefix is
#   PATH defaults to $VEXLOR_WINEPREFIX, then to
#   ${XDG_CACHE_HOME:-$HOME/.cache}/vexlor-prog/wine: outside every build tree
#   (a prefix is some 700 MB), made once and reused by every run.
# Then:  WINEPREFIX=$(scripts/wine-prefix.sh) WINEDEBUG=-all wine build-windows/vexlor-prog.exe ...
set -eu

default=${VEXLOR_WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/vexlor-prog/wine}
if [ "${1:-}" = --path ]; then
  echo "$default"
  exit 0
fi

if ! command -v wine >/dev/null 2>&1 || ! command -v wineserver >/dev/null 2>&1; then
  echo "wine-prefix: wine is not installed; install the Debian packages wine and wine64" >&2
  exit 3
fi

prefix=${1:-$default}
mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)

# Wine refuses a prefix owned by another user. Root may claim one that was
# never set up (a directory made for it by someone else); a set-up prefix
# of another user is left alone.
if [ "$(stat -c %u "$prefix")" != "$(id -u)" ]; then
  if [ "$(id -u)" = 0 ] && [ ! -e "$prefix/system.reg" ]; then
    chown "$(id -u):$(id -g)" "$prefix"
  else
    echo "wine-prefix: $prefix belongs to user $(stat -c %U "$prefix"); Wine only runs in a" \
         "prefix of its own user; pass another path" >&2
    exit 1
  fi
fi

export WINEPREFIX="$prefix"
export WINEDEBUG=-all

# The prefix is shared by every checkout of the user: two test runs that
# start together must not both set it up. Wine's own processes do not get
# the lock's descriptor, or they would hold it for as long as they live.
exec 9>"$prefix/.setup-lock"
flock 9
if [ ! -e "$prefix/system.reg" ]; then
  # Without the overrides wineboot waits for a download that never comes.
  if ! WINEDLLOVERRIDES="mscoree,mshtml=" timeout 600 wineboot -i >"$prefix/wineboot.log" 2>&1 9>&-; then
    echo "wine-prefix: wineboot failed, see $prefix/wineboot.log" >&2
    exit 1
  fi
  # The registry reaches the disk when the server ends.
  wineserver -w 9>&-
  if [ ! -e "$prefix/system.reg" ]; then
    echo "wine-prefix: wineboot left no registry in $prefix, see $prefix/wineboot.log" >&2
    exit 1
  fi
fi
exec 9>&-

# A running server makes a start of the tool take milliseconds instead of
# most of a second. The server keeps the output of whichever process starts
# it, long after that process ended, and writes a dump of all its objects
# (some 2 MB) there whenever a pseudo-terminal it has open hangs up, i.e. at
# the end of every simulator session; so it gets none. Exit status 2 means
# this prefix has a server already.
wineserver -p"${VEXLOR_WINE_LINGER:-600}" </dev/null >/dev/null 2>&1 || true
# The first program of a server session starts Wine's services (services.exe,
# winedevice.exe, ...), which live as long as the server and keep that
# program's output open: a test run reading the tool's output through a pipe
# would wait for them for minutes. Start them here, with no output to keep.
wine cmd /c exit </dev/null >/dev/null 2>&1 || true

echo "$prefix"
