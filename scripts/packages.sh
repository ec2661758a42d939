# Debian packages the project's commands need, in one place, and the check
# that installs them. Sourced by scripts/demo.sh and scripts/test.sh (whose
# legs each name the lists they need); not run on its own.

# Building the tool and the simulator (nlohmann-json3-dev: the header-only
# JSON library behind --json; libsqlite3-dev, libpq-dev: the station's
# records in SQLite and PostgreSQL).
packages_build=(cmake ninja-build g++ nlohmann-json3-dev libsqlite3-dev libpq-dev)
# The unit and end-to-end tests (libxml2-utils: xmllint reads the station's
# JUnit file; postgresql: the record store's tests start a server of their
# own from it; sqlite3: its shell holds a lock on a station's database).
packages_tests=(libgtest-dev libxml2-utils postgresql sqlite3)
# The Windows build and its end-to-end run under Wine.
packages_windows=(g++-mingw-w64-x86-64 wine wine64)
# The libFuzzer targets.
packages_fuzz=(clang libclang-rt-14-dev)
# The programmer under memcheck.
packages_valgrind=(valgrind)
# The kernel-driver rig (legs/rig.sh): installed without recommends, which
# for QEMU would be a desktop stack.
packages_rig=(qemu-system-x86 busybox-static cpio python3)
# The manual pages: lint, rendering, the HTML copy for Windows.
packages_docs=(mandoc man-db)
# The one layout of the C++ sources (.clang-format).
packages_style=(clang-format)
# The Debian package and its check.
packages_release=(dpkg-dev lintian)

# packages_of LIST...
# Prints the packages of the given lists (build, tests, windows, ...), one a
# line.
packages_of() {
  local name packages
  for name in "$@"; do
    packages="packages_${name}[@]"
    printf '%s\n' "${!packages}"
  done
}

# packages_missing PACKAGE...
# Prints those of the packages that are not installed, one a line (nothing
# where dpkg-query is not there to tell).
packages_missing() {
  command -v dpkg-query >/dev/null 2>&1 || return 0
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}

# need_packages WHO PACKAGE... [--no-recommends PACKAGE...]
# Returns when every package is installed. Missing ones are installed with
# apt-get when the user is root (those after --no-recommends without their
# recommended packages); anyone else is told the one command to run, and the
# calling script stops (after $packages_hint, when the caller set one).
need_packages() {
  local who=$1
  shift
  if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "$who: not a Debian system; make sure these are installed: $*" >&2
    return 0
  fi
  local missing=() missing_lean=() lean=no p
  for p in "$@"; do
    if [ "$p" = --no-recommends ]; then lean=yes; continue; fi
    [ -z "$(packages_missing "$p")" ] && continue
    if [ "$lean" = yes ]; then missing_lean+=("$p"); else missing+=("$p"); fi
  done
  [ "${#missing[@]}" -eq 0 ] && [ "${#missing_lean[@]}" -eq 0 ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "$who: these Debian packages are missing: ${missing[*]} ${missing_lean[*]}" >&2
    echo "$who: install them as root, then run this command again:" >&2
    [ "${#missing[@]}" -gt 0 ] && echo "  apt-get install ${missing[*]}" >&2
    [ "${#missing_lean[@]}" -gt 0 ] && echo "  apt-get install --no-install-recommends ${missing_lean[*]}" >&2
    [ -n "${packages_hint:-}" ] && echo "$who: $packages_hint" >&2
    exit 1
  fi
  echo "== Installing Debian packages: ${missing[*]} ${missing_lean[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  if [ "${#missing[@]}" -gt 0 ]; then apt-get install -y -q "${missing[@]}"; fi
  if [ "${#missing_lean[@]}" -gt 0 ]; then apt-get install -y -q --no-install-recommends "${missing_lean[@]}"; fi
}

# need_package_lists WHO
# Makes sure apt has package lists (a fresh Debian image may have none),
# for a leg that asks apt about a package it does not install: the rig's
# kernel is fetched with apt-get download. Root refreshes them; anyone else
# is told to.
need_package_lists() {
  local who=$1
  compgen -G "/var/lib/apt/lists/*_Packages*" >/dev/null && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "$who: apt has no package lists; run as root: apt-get update" >&2
    exit 1
  fi
  apt-get update -q
}
