#!/usr/bin/env bash
# Builds everything and runs every test: the native build, the same tests
# under AddressSanitizer and UndefinedBehaviorSanitizer, and the end-to-end
# suite against the Windows build under Wine when MinGW-w64 and Wine are
# installed (apt-get install g++-mingw-w64-x86-64 wine wine64); then the
# fuzz targets for a bounded time (clang, libclang-rt-14-dev) and the
# programmer under valgrind. After the native tests, the kernel-driver rig
# (scripts/rig.sh) runs the programmer in a QEMU guest on the kernel's own
# serial drivers when qemu-system-x86, busybox-static and cpio are installed.
#
# VEXLOR_REQUIRE_WINDOWS=1 makes a missing Windows toolchain an error (CI).
# VEXLOR_SKIP_SANITIZERS=1 skips the sanitizer build (quicker local runs).
# VEXLOR_SKIP_FUZZ=1 skips fuzzing; VEXLOR_FUZZ_SECONDS sets its time per
# target (default 45). VEXLOR_SKIP_VALGRIND=1 skips the valgrind runs.
# VEXLOR_SKIP_RIG=1 skips the rig; VEXLOR_REQUIRE_RIG=1 makes its missing
# prerequisites an error (CI).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc 2>/dev/null || echo 2)

windows_args=()
if command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1 && command -v wine >/dev/null 2>&1; then
  echo "== Windows build (MinGW-w64) and Wine prefix"
  scripts/build-windows.sh >/dev/null
  prefix=$(scripts/wine-prefix.sh "$root/build-win/wineprefix")
  windows_args=(-DVEXLOR_PROG_EXE="$root/build-win/vexlor-prog.exe" -DVEXLOR_WINE_PREFIX="$prefix")
elif [ "${VEXLOR_REQUIRE_WINDOWS:-0}" = 1 ]; then
  echo "test: MinGW-w64 or Wine missing; install g++-mingw-w64-x86-64 wine wine64" >&2
  exit 1
else
  echo "== Windows leg skipped: install g++-mingw-w64-x86-64 wine wine64 to run it"
fi

echo "== Native build and tests"
cmake -S . -B build -G Ninja "${windows_args[@]}" >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs" --output-on-failure --timeout 300

if [ "${VEXLOR_SKIP_RIG:-0}" != 1 ]; then
  echo "== Kernel-driver rig (QEMU guest: 8250 and ftdi_sio drivers)"
  rig_status=0
  scripts/rig.sh || rig_status=$?
  if [ "$rig_status" = 77 ] && [ "${VEXLOR_REQUIRE_RIG:-0}" != 1 ]; then
    echo "== Rig skipped: install qemu-system-x86 (--no-install-recommends) busybox-static cpio to run it"
  elif [ "$rig_status" != 0 ]; then
    exit 1
  fi
fi

if [ "${VEXLOR_SKIP_SANITIZERS:-0}" != 1 ]; then
  echo "== Sanitizer build (ASan + UBSan) and tests"
  cmake -S . -B build-asan -G Ninja -DVEXLOR_SANITIZE=ON -DVEXLOR_BENCH=OFF >/dev/null
  cmake --build build-asan -j "$jobs"
  ctest --test-dir build-asan -j "$jobs" --output-on-failure --timeout 300
fi

if [ "${VEXLOR_SKIP_FUZZ:-0}" != 1 ]; then
  echo "== Fuzzing (libFuzzer, ${VEXLOR_FUZZ_SECONDS:-45} s per target)"
  scripts/fuzz.sh "${VEXLOR_FUZZ_SECONDS:-45}"
fi

if [ "${VEXLOR_SKIP_VALGRIND:-0}" != 1 ]; then
  echo "== Valgrind (memcheck) on the success and failure paths"
  scripts/valgrind.sh
fi
