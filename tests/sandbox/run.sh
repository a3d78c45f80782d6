#!/usr/bin/env bash
# Runs the tests that could make an updater that goes wrong delete or overwrite the wrong tree: a
# racing user who swaps staging directories, or their parent, for links; updates killed halfway;
# staging directories that name a whole volume. They run as the user "orvosandbox", which owns
# nothing but its home (the sandbox), in a Wine prefix of its own whose only drive, C:, leads into
# that sandbox (the usual Z: drive onto the host's / is removed). A canary directory beside the
# prefix, out of every drive's reach, must come through unchanged. The sandbox is made anew on
# every run.
#
#   tests/sandbox/run.sh BIN_DIR RACE_RUNS INTERRUPT_RUNS      (as root)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/../../scripts/lib.sh"
[ "$(id -u)" = 0 ] || { echo "tests/sandbox/run.sh needs root (it creates the sandbox user)" >&2; exit 2; }
[ $# = 3 ] || { echo "usage: run.sh BIN_DIR RACE_RUNS INTERRUPT_RUNS" >&2; exit 64; }
home=$(orvo_fresh_user orvosandbox sandbox) || exit 1
chmod 700 "$home"
mkdir -p "$home/host"
cp "$here/scenarios.sh" "$here/../../scripts/wine-run" "$home/host/"
orvo_step sandbox "building the swapper" gcc -O2 -Wall -o "$home/host/swapper" "$here/swapper.c"
for exe in OrvoUpdater kestrava_standin orvo_demo_driver orvo_tests; do
  orvo_step sandbox "copying $exe.exe" cp "$1/$exe.exe" "$home/host/"
done
chown -R orvosandbox: "$home"
runuser -u orvosandbox -- env -i HOME="$home" PATH="$PATH" LANG=C.UTF-8 \
  bash "$home/host/scenarios.sh" "$home/prefix" "$2" "$3"
