#!/usr/bin/env bash
# Builds everything and runs every test: installs the Debian packages that
# every leg needs (scripts/packages.sh), then has the build tool run each leg
# and sum them up: cmake --workflow --preset ci. The legs, and how to run one
# of them alone, are in docs/testing.md.
#
# Installs what is missing when run as root; tells anyone else the apt-get
# line to run. CI (.ci/run) runs this with CI=true: no leg may be skipped,
# and the .deb is installed with apt-get to be checked as a user gets it.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/packages.sh
packages_hint="or run the legs that can run here: cmake --workflow --preset ci skips the others"
need_packages test "${packages_build[@]}" "${packages_tests[@]}" "${packages_docs[@]}" \
  "${packages_style[@]}" "${packages_windows[@]}" "${packages_fuzz[@]}" "${packages_valgrind[@]}" \
  "${packages_release[@]}" --no-recommends "${packages_rig[@]}"
# The rig fetches the kernel package with apt-get download.
need_package_lists test

exec cmake --workflow --preset ci
