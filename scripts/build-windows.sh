#!/bin/sh
# Cross-compiles build-win/vexlor-prog.exe and build-win/vexlor-flash-all.exe
# with MinGW-w64.
# Usage: scripts/build-windows.sh [extra cmake configure arguments]
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-win"

if ! command -v x86_64-w64-mingw32-g++-win32 >/dev/null 2>&1 &&
   ! command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1; then
  echo "build-windows: no MinGW-w64 cross compiler; install g++-mingw-w64-x86-64" >&2
  exit 3
fi

cmake -S "$root" -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release "$@"
cmake --build "$build" --target vexlor-prog vexlor-flash-all -j "$(nproc 2>/dev/null || echo 2)"

for exe in "$build/vexlor-prog.exe" "$build/vexlor-flash-all.exe"; do
  # A DLL outside Windows itself would have to be shipped next to the .exe.
  dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
  foreign=$(printf '%s\n' "$dlls" | grep -viE '^(kernel32|msvcrt|ucrtbase|api-ms-win-.*|advapi32|user32|ws2_32|ntdll)\.dll$' || true)
  if [ -n "$foreign" ]; then
    echo "build-windows: $exe needs DLLs not present on Windows:" >&2
    printf '%s\n' "$foreign" | sed 's/^/  /' >&2
    exit 1
  fi
  echo "built $exe (imports: $(printf '%s' "$dlls" | tr '\n' ' '))"
done
