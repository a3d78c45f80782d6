#!/usr/bin/env bash
# Benchmarks the tree overlay copy under Wine: our copy, a bare CopyFileW loop over the same files
# (the floor on this platform) and xcopy, on one staging tree of 5,000 small files in 50
# directories plus 20 files of 4 MiB; then the copy's peak heap use for 100 and 5,000 files, and
# the stack it uses at its full depth.
# Prints the figures; it asserts nothing.
#   scripts/bench.sh [FILES] [BIG_FILES] [BIG_MIB] [ROUNDS]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$here/scripts/lib.sh"
orvo_ensure_packages
orvo_step build "building" orvo_build "$here" || exit 1
work=$(mktemp -d /tmp/orvo-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
ORVO_WINE_TIMEOUT=1800 "$here/scripts/wine-run" "$here/build/mingw/demo-prefix" \
  "$here/build/mingw/bin/orvo_copy_bench.exe" "Z:${work//\//\\}\\tree" "$@"
