#!/bin/sh
# Checks that each Windows build of the tools needs no DLL outside Windows
# itself: such a DLL would have to be shipped next to the .exe.
# Usage: legs/windows-imports.sh EXE...
set -eu

for exe in "$@"; do
  if [ ! -f "$exe" ]; then
    echo "windows-imports: no $exe; build it: cmake --build --preset windows" >&2
    exit 1
  fi
  dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
  foreign=$(printf '%s\n' "$dlls" | grep -viE '^(kernel32|msvcrt|ucrtbase|api-ms-win-.*|advapi32|user32|ws2_32|ntdll)\.dll$' || true)
  if [ -n "$foreign" ]; then
    echo "windows-imports: $exe needs DLLs not present on Windows:" >&2
    printf '%s\n' "$foreign" | sed 's/^/  /' >&2
    exit 1
  fi
  echo "$exe imports: $(printf '%s' "$dlls" | tr '\n' ' ')"
done
