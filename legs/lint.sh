#!/usr/bin/env bash
# The checks of the sources themselves, which take a second and so run
# before every other leg (the lint leg, the native tree's tests labelled lint):
#   legs/lint.sh layout     every .cpp and .h as .clang-format lays it out
#   legs/lint.sh manpages   the manual pages without a finding of mandoc's lint
set -euo pipefail
cd "$(dirname "$0")/.."
# need COMMAND PACKAGE
need() {
  command -v "$1" >/dev/null 2>&1 && return 0
  echo "lint: $1 is not installed (apt-get install $2)" >&2
  exit 1
}

case ${1:-} in
  layout)
    need clang-format clang-format
    if ! style=$(clang-format --dry-run --Werror $(git ls-files '*.cpp' '*.h') 2>&1); then
      printf '%s\n' "$style" | head -n 20 >&2
      echo "lint: run clang-format -i \$(git ls-files '*.cpp' '*.h') and commit the result" >&2
      exit 1
    fi
    echo "every .cpp and .h: as .clang-format lays them out"
    ;;
  manpages)
    need mandoc mandoc
    lint=$(mandoc -T lint -W all man/*.1 2>&1 || true)
    if [ -n "$lint" ]; then
      printf '%s\n' "$lint" >&2
      echo "lint: the manual pages have lint findings" >&2
      exit 1
    fi
    echo "man/*.1: clean"
    ;;
  *)
    echo "usage: $0 layout|manpages" >&2
    exit 2
    ;;
esac
