#!/usr/bin/env bash
# The sandbox checks at length: more races and more interrupted updates. Run as root.
#   scripts/stress.sh [RACE_RUNS] [INTERRUPT_RUNS]    defaults: 50 20
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$here/scripts/lib.sh"
[ "$(id -u)" = 0 ] || { echo "scripts/stress.sh needs root (it creates the sandbox user)" >&2; exit 2; }
orvo_ensure_packages
orvo_step build "building" orvo_build "$here" || exit 1
bash "$here/tests/sandbox/run.sh" "$here/build/mingw/bin" "${1:-50}" "${2:-20}"
