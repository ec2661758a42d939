#!/usr/bin/env bash
# Prints a directory holding Debian's own kernel (vmlinuz) and the USB serial
# modules the rig's guest loads (*.ko), fetching them into the cache on first
# use. The package is downloaded with apt-get, never installed: only the
# kernel and five modules are unpacked from it and kept.
#
# usage: legs/rig/kernel.sh CACHE_DIR
set -euo pipefail

cache=$1
modules=(usb-common usbcore uhci-hcd usbserial ftdi_sio)

complete() {
  [ -f "$1/vmlinuz" ] || return 1
  local m
  for m in "${modules[@]}"; do [ -f "$1/$m.ko" ] || return 1; done
}

# The kernel package that the metapackage stands for today, e.g. linux-image-6.1.0-57-amd64.
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }' || true
}
package=$(kernel_package)

if [ -z "$package" ]; then
  # No package lists (or no apt): a kernel fetched earlier still does.
  for dir in "$cache"/linux-image-*; do
    if complete "$dir"; then echo "$dir"; exit 0; fi
  done
  echo "rig: cannot tell which kernel package linux-image-amd64 depends on, and none is cached in $cache;" \
       "run apt-get update" >&2
  exit 1
fi

dir=$cache/$package
if complete "$dir"; then echo "$dir"; exit 0; fi

mkdir -p "$cache"
work=$(mktemp -d "$cache/.fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "rig: fetching $package into $cache" >&2
fetch() { (cd "$work" && timeout 600 apt-get download -q "$1" >&2 2>"$work/apt.err"); }
fetch_failed() {
  cat "$work/apt.err" >&2
  echo "rig: apt-get download $package failed" >&2
  exit 1
}
if ! fetch "$package"; then
  [ "$(id -u)" = 0 ] || fetch_failed
  # Package lists older than the archive name a kernel it no longer has.
  apt-get update -q >&2
  package=$(kernel_package)
  dir=$cache/$package
  fetch "$package" || fetch_failed
fi
patterns=(--wildcards './boot/vmlinuz-*')
for m in "${modules[@]}"; do patterns+=("*/$m.ko"); done
mkdir "$work/tree" "$work/kernel"
dpkg-deb --fsys-tarfile "$work"/*.deb | tar -x -C "$work/tree" "${patterns[@]}"
cp "$work"/tree/boot/vmlinuz-* "$work/kernel/vmlinuz"
find "$work/tree/lib/modules" -name '*.ko' -exec cp {} "$work/kernel/" \;
complete "$work/kernel" || { echo "rig: $package lacks the kernel or a USB serial module" >&2; exit 1; }

# Only the current kernel is kept.
rm -rf "$cache"/linux-image-*
mv "$work/kernel" "$dir"
echo "$dir"
