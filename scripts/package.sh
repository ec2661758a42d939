#!/usr/bin/env bash
# Builds the release packages into dist/:
#   vexlor-prog_<version>_<arch>.deb           vexlor-prog, vexlor-sim, vexlor-flash-all,
#                                              their manual pages, README, changelog, copyright
#   vexlor-prog-<version>-windows-x86_64.zip   the static vexlor-prog.exe and vexlor-flash-all.exe,
#                                              their manuals as HTML, README and LICENSE
# and checks the .deb with lintian: an error fails the script, other tags
# are printed. Installs the Debian packages it needs when run as root.
#
# VEXLOR_SKIP_WINDOWS=1 builds the .deb alone.
# VEXLOR_MAINTAINER names the Debian package's maintainer ("Name <address>").
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/packages.sh
needed=("${packages_build[@]}" "${packages_docs[@]}" "${packages_release[@]}")
windows=yes
if [ "${VEXLOR_SKIP_WINDOWS:-0}" = 1 ]; then windows=no; else needed+=("${packages_windows[@]}"); fi
need_packages package "${needed[@]}"

maintainer=${VEXLOR_MAINTAINER:-vexlor-prog developers <vexlor-prog@users.noreply.example.org>}
dist="$root/dist"
build="$root/build-pkg"
work=$(mktemp -d "${TMPDIR:-/tmp}/vexlor-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$dist"

# Release build with all of Debian's hardening flags, nothing but what is
# shipped.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DVEXLOR_TESTS=OFF -DVEXLOR_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)

# The .deb: the install tree, then what Debian asks of a package on top of
# it (stripped binaries, compressed manual pages and changelog, the license
# as the copyright file).
stage="$work/debian/vexlor-prog"
DESTDIR="$stage" cmake --install "$build" >/dev/null
doc="$stage/usr/share/doc/vexlor-prog"
strip --remove-section=.comment --remove-section=.note --strip-unneeded \
  "$stage/usr/bin/vexlor-prog" "$stage/usr/bin/vexlor-sim" "$stage/usr/bin/vexlor-flash-all"
gzip -9n "$stage"/usr/share/man/man1/*.1 "$doc/README.md" "$doc"/docs/*.md
{
  echo "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
  echo "Upstream-Name: vexlor-prog"
  echo
  echo "Files: *"
  echo "Copyright: $(sed -n 's/^Copyright (c) //p' LICENSE)"
  echo "License: Expat"
  sed -e '/^MIT License$/d' -e '/^Copyright (c)/d' LICENSE | sed -e '/./,$!d' -e 's/^$/./' -e 's/^/ /'
} >"$doc/copyright"
rm "$doc/LICENSE"
# The tool's message spells "writting" so on purpose, and the pages quote it.
mkdir -p "$stage/usr/share/lintian/overrides"
echo "vexlor-prog: typo-in-manual-page writting writing [*]" >"$stage/usr/share/lintian/overrides/vexlor-prog"
if commit_time=$(git log -1 --format=%ct 2>/dev/null); then :; else commit_time=$(date +%s); fi
{
  echo "vexlor-prog ($version) unstable; urgency=medium"
  echo
  echo "  * Release $version."
  echo
  echo " -- $maintainer  $(LC_ALL=C date -R -u -d "@$commit_time")"
} | gzip -9n >"$doc/changelog.gz"
find "$stage" -type d -exec chmod 0755 {} +
find "$stage" -type f -exec chmod 0644 {} +
chmod 0755 "$stage"/usr/bin/*

# Dependencies as the binaries need them; dpkg-shlibdeps reads a
# debian/control, so the stage sits in a minimal source tree.
mkdir -p "$stage/DEBIAN"
printf 'Source: vexlor-prog\n\nPackage: vexlor-prog\nArchitecture: any\n' >"$work/debian/control"
depends=$(cd "$work" && dpkg-shlibdeps -O -edebian/vexlor-prog/usr/bin/vexlor-prog \
            -edebian/vexlor-prog/usr/bin/vexlor-sim -edebian/vexlor-prog/usr/bin/vexlor-flash-all |
            sed -n 's/^shlibs:Depends=//p')

cat >"$stage/DEBIAN/control" <<EOF
Package: vexlor-prog
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $(du -sk --exclude=DEBIAN "$stage" | cut -f1)
Depends: $depends
Section: electronics
Priority: optional
Description: flash programmer for a microcontroller's serial boot loader
 vexlor-prog drives RTS and DTR through a fixed opening sequence, wakes the
 target's serial boot loader with a start byte, erases the flash sectors an
 image will occupy, writes the image in 256-byte blocks, reads it back and
 compares. Its exit status tells scripts and CI whether the flash succeeded.
 .
 vexlor-sim plays the target's boot loader on a pseudo-terminal, with
 injectable faults, for trying scripts without a board. vexlor-flash-all
 programs every USB serial adapter of a production-line PC at once.
EOF
(cd "$stage" && find usr -type f -exec md5sum {} + | sort -k 2 >DEBIAN/md5sums)
chmod 0644 "$stage/DEBIAN/control" "$stage/DEBIAN/md5sums"
deb="$dist/vexlor-prog_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
echo "built $deb ($(stat -c %s "$deb") bytes)"

echo "== lintian $(basename "$deb")"
# Every tag down to the informational ones is shown; only errors fail.
lintian_status=0
lintian_out=$(lintian --fail-on error --display-info "$deb" 2>&1) || lintian_status=$?
printf '%s\n' "$lintian_out" | grep -v -e '^running with root privileges' -e '^$' || true
if [ "$lintian_status" -ne 0 ]; then echo "package: lintian found errors" >&2; exit 1; fi
echo "lintian: no errors"

if [ "$windows" = no ]; then
  echo "package: Windows package skipped (VEXLOR_SKIP_WINDOWS=1)"
  exit 0
fi

# The .zip: the statically linked executables run on a bare Windows machine.
scripts/build-windows.sh >/dev/null
name="vexlor-prog-$version-windows-x86_64"
mkdir -p "$work/zip/$name"
for program in vexlor-prog vexlor-flash-all; do
  x86_64-w64-mingw32-strip -o "$work/zip/$name/$program.exe" "build-win/$program.exe"
  mandoc -T html "man/$program.1" >"$work/zip/$name/$program.html"
done
cp -r README.md LICENSE docs "$work/zip/$name/"
zip="$dist/$name.zip"
rm -f "$zip"
(cd "$work/zip" && cmake -E tar cf "$zip" --format=zip "$name")
echo "built $zip ($(stat -c %s "$zip") bytes)"
