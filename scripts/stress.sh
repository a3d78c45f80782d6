#!/usr/bin/env bash
# The sandbox checks at length: more races, more interrupted updates, more random command lines
# with a fresh seed (printed, so that a failure can be replayed). Run as root.
#   scripts/stress.sh [RACE_RUNS] [INTERRUPT_RUNS] [FUZZ_RUNS] [SEED]    defaults: 50 20 400 random
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$here/scripts/lib.sh"
[ "$(id -u)" = 0 ] || { echo "scripts/stress.sh needs root (it creates the sandbox user)" >&2; exit 2; }
orvo_ensure_packages
orvo_build "$here" | tail -n 1
seed=${4:-$(( (RANDOM << 15) | RANDOM ))}
echo "seed $seed"
bash "$here/tests/sandbox/run.sh" "$here/build/mingw/bin" "${1:-50}" "${2:-20}" "${3:-400}" "$seed"
