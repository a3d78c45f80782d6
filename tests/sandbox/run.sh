#!/usr/bin/env bash
# Runs the tests that could make an updater that goes wrong delete or overwrite the wrong tree: a
# racing user who swaps staging directories for links, updates killed halfway, and random command
# lines. They run as the user "orvosandbox", which owns nothing but its home (the sandbox), in a
# Wine prefix of its own whose only drive, C:, leads into that sandbox (the usual Z: drive onto the
# host's / is removed). A canary directory beside the prefix, out of every drive's reach, must come
# through unchanged.
#
#   tests/sandbox/run.sh BIN_DIR RACE_RUNS INTERRUPT_RUNS FUZZ_RUNS SEED      (as root)
#
# BIN_DIR holds the built Windows programs. Prints one line per check and a closing tally.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
[ "$(id -u)" = 0 ] || { echo "tests/sandbox/run.sh needs root (it creates the sandbox user)" >&2; exit 2; }
[ $# = 5 ] || { echo "usage: run.sh BIN_DIR RACE_RUNS INTERRUPT_RUNS FUZZ_RUNS SEED" >&2; exit 64; }
bin=$1
user=orvosandbox
home=/var/lib/$user
id -u "$user" >/dev/null 2>&1 ||
  useradd --system --create-home --home-dir "$home" --shell /bin/bash "$user"
mkdir -p "$home"
chmod 700 "$home"

# The sandbox's own copies of what it runs: the host side (scripts, the swapper) and, on C:, the
# Windows programs.
mkdir -p "$home/host"
cp "$here/scenarios.sh" "$here/../../scripts/wine-run" "$home/host/"
gcc -O2 -Wall -o "$home/host/swapper" "$here/swapper.c"
prefix=$home/prefix
cp "$bin/OrvoUpdater.exe" "$bin/kestrava_standin.exe" "$bin/orvo_demo_driver.exe" \
   "$bin/orvo_fuzz.exe" "$home/host/"
chown -R "$user:" "$home"

status=0
runuser -u "$user" -- env -i HOME="$home" PATH="$PATH" LANG=C.UTF-8 \
  bash "$home/host/scenarios.sh" "$prefix" "$2" "$3" "$4" "$5" || status=$?
exit $status
