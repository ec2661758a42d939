#!/usr/bin/env bash
# Builds everything and runs every test: the native build, the end-to-end
# suite against the Windows build under Wine, the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, the end-to-end tests
# again with the serial code of other POSIX systems (VEXLOR_PORTABLE_TERMIOS),
# the fuzz targets for a bounded time, the programmer under valgrind, the
# manual pages' lint, and the release packages (built, checked with lintian,
# the .deb's programs run against each other). After the native tests, the
# kernel-driver rig (scripts/rig.sh) runs the programmer in a QEMU guest on
# the kernel's own serial drivers.
#
# Installs the Debian packages the chosen legs need when run as root; tells
# anyone else the apt-get line to run (scripts/packages.sh lists them).
#
# VEXLOR_SKIP_WINDOWS=1 skips the Windows build and its Wine run.
# VEXLOR_REQUIRE_WINDOWS=1 refuses to skip them (CI).
# VEXLOR_SKIP_SANITIZERS=1 skips the sanitizer build (quicker local runs).
# VEXLOR_SKIP_TERMIOS=1 skips the build with the portable termios backend.
# VEXLOR_SKIP_FUZZ=1 skips fuzzing; VEXLOR_FUZZ_SECONDS sets its time per
# target (default 45). VEXLOR_SKIP_VALGRIND=1 skips the valgrind runs.
# VEXLOR_SKIP_RIG=1 skips the rig; VEXLOR_REQUIRE_RIG=1 refuses to (CI).
# VEXLOR_SKIP_PACKAGES=1 skips building and checking the packages.
# The .deb is installed on the machine (and removed again) only when root
# runs this in CI (CI=true) or with VEXLOR_INSTALL_PACKAGE=1; otherwise its
# programs run from an unpacked copy.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc 2>/dev/null || echo 2)
skip() { [ "${!1:-0}" = 1 ]; }

for leg in WINDOWS RIG; do
  if skip "VEXLOR_SKIP_$leg" && skip "VEXLOR_REQUIRE_$leg"; then
    echo "test: VEXLOR_REQUIRE_$leg=1 and VEXLOR_SKIP_$leg=1 contradict each other" >&2
    exit 2
  fi
done
windows=yes
skip VEXLOR_SKIP_WINDOWS && windows=no

. scripts/packages.sh
needed=("${packages_build[@]}" "${packages_tests[@]}" "${packages_docs[@]}" "${packages_style[@]}")
[ "$windows" = yes ] && needed+=("${packages_windows[@]}")
skip VEXLOR_SKIP_FUZZ || needed+=("${packages_fuzz[@]}")
skip VEXLOR_SKIP_VALGRIND || needed+=("${packages_valgrind[@]}")
skip VEXLOR_SKIP_PACKAGES || needed+=("${packages_release[@]}")
packages_hint="or leave out the legs that need them: see the top of scripts/test.sh"
lean=()
skip VEXLOR_SKIP_RIG || lean+=("${packages_rig[@]}")
need_packages test "${needed[@]}" --no-recommends "${lean[@]}"
# The rig fetches the kernel package with apt-get download.
skip VEXLOR_SKIP_RIG || need_package_lists test

windows_args=()
if [ "$windows" = yes ]; then
  echo "== Windows build (MinGW-w64) and Wine prefix"
  scripts/build-windows.sh >/dev/null
  prefix=$(scripts/wine-prefix.sh)
  windows_args=(-DVEXLOR_PROG_EXE="$root/build-win/vexlor-prog.exe" -DVEXLOR_WINE_PREFIX="$prefix")
else
  echo "== Windows leg skipped (VEXLOR_SKIP_WINDOWS=1)"
fi

echo "== Native build and tests"
cmake -S . -B build -G Ninja -DVEXLOR_TESTS=ON "${windows_args[@]}" >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs" --output-on-failure --timeout 300

if ! skip VEXLOR_SKIP_RIG; then
  echo "== Kernel-driver rig (QEMU guest: 8250 and ftdi_sio drivers)"
  scripts/rig.sh
fi

echo "== Layout of the sources (clang-format, .clang-format)"
if ! style=$(clang-format --dry-run --Werror $(git ls-files '*.cpp' '*.h') 2>&1); then
  printf '%s\n' "$style" | head -n 20 >&2
  echo "test: run clang-format -i \$(git ls-files '*.cpp' '*.h') and commit the result" >&2
  exit 1
fi
echo "every .cpp and .h: as .clang-format lays them out"

echo "== Manual pages (mandoc -T lint)"
lint=$(mandoc -T lint -W all man/*.1 2>&1 || true)
if [ -n "$lint" ]; then
  printf '%s\n' "$lint" >&2
  echo "test: the manual pages have lint findings" >&2
  exit 1
fi
echo "man/*.1: clean"

if ! skip VEXLOR_SKIP_SANITIZERS; then
  echo "== Sanitizer build (ASan + UBSan) and tests"
  cmake -S . -B build-asan -G Ninja -DVEXLOR_SANITIZE=ON -DVEXLOR_TESTS=ON -DVEXLOR_BENCH=OFF >/dev/null
  cmake --build build-asan -j "$jobs"
  ctest --test-dir build-asan -j "$jobs" --output-on-failure --timeout 300
fi

if ! skip VEXLOR_SKIP_TERMIOS; then
  # The serial code of other POSIX systems (portable termios line speeds),
  # built and run on Linux; rows that set a rate only termios2 can express
  # are left out.
  echo "== Serial code of other POSIX systems (portable termios): end-to-end tests at standard rates"
  cmake -S . -B build-termios -G Ninja -DVEXLOR_PORTABLE_TERMIOS=ON -DVEXLOR_TESTS=ON -DVEXLOR_BENCH=OFF >/dev/null
  cmake --build build-termios -j "$jobs"
  ctest --test-dir build-termios -j "$jobs" --output-on-failure --timeout 300 -L e2e
fi

if ! skip VEXLOR_SKIP_FUZZ; then
  echo "== Fuzzing (libFuzzer, ${VEXLOR_FUZZ_SECONDS:-45} s per target)"
  scripts/fuzz.sh "${VEXLOR_FUZZ_SECONDS:-45}"
fi

if ! skip VEXLOR_SKIP_VALGRIND; then
  echo "== Valgrind (memcheck) on the success and failure paths"
  scripts/valgrind.sh
fi

if ! skip VEXLOR_SKIP_PACKAGES; then
  echo "== Packages: build, lintian, the .deb's programs against each other"
  VEXLOR_SKIP_WINDOWS=$([ "$windows" = yes ] && echo 0 || echo 1) scripts/package.sh
  scripts/package-check.sh
fi
