#!/usr/bin/env bash
# Runs every test of OrvoUpdater: installs what is missing, builds the Windows programs with
# mingw-w64 and runs the suite with CTest under Wine, then the reproducibility check (two more
# builds, compared byte for byte) with the check of the notices' pictures beside it.
#
# Started as root, it installs the packages, then builds and tests a copy of the tree as the
# unprivileged user "orvotest": Wine run as root ignores the read-only attribute, which several
# tests depend on, and the copy keeps the run independent of where this checkout lies. Then it runs
# the sandbox checks (a racing user, interrupted updates, refusals that name a volume) as a user
# that owns nothing but its sandbox; they need root to make that user, and are skipped without it. Both
# users' homes, with every Wine prefix and tree in them, are made anew on each run.
#   scripts/test.sh [--fresh]    --fresh: first remove the users and everything earlier runs made
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$here/scripts/lib.sh"

if [ "$(id -u)" = 0 ]; then
  if [ "${1:-}" = --fresh ]; then
    # As on a new machine: none of the users, homes, prefixes and trees that earlier runs made.
    for user in orvotest orvosandbox; do
      pkill -KILL -u "$user" 2>/dev/null || true
      sleep 0.5
      userdel "$user" 2>/dev/null || true
      rm -rf "/var/lib/$user"
    done
    rm -rf /tmp/orvo-reproducible.*
    rmdir /tmp/.X11-unix 2>/dev/null || true
    echo "removed what earlier runs made"
  fi
  orvo_ensure_packages
  home=$(orvo_fresh_user orvotest suite) || exit 1
  work=$home/tree
  # Where X servers put their sockets; an unprivileged Xvfb cannot make it with the right owner.
  orvo_step suite "making /tmp/.X11-unix" install -d -m 1777 /tmp/.X11-unix || exit 1
  orvo_step suite "copying the tree to $work" bash -c \
    'mkdir -p "$2" && tar -C "$1" --exclude=./build --exclude=./.git -cf - . | tar -C "$2" -xf - &&
     chown -R orvotest: "$2"' copy "$here" "$work" || exit 1
  echo "running the suite as orvotest in $work"
  status=0
  runuser -u orvotest -- env -i HOME="$home" PATH="$PATH" LANG=C.UTF-8 CI="${CI:-}" \
    ORVO_SANDBOX_LATER=1 bash "$work/scripts/test.sh" || status=1
  echo "running the sandbox checks"
  timeout 1200 bash "$here/tests/sandbox/run.sh" "$work/build/mingw/bin" 5 4 || status=1
  exit $status
fi

orvo_ensure_packages
orvo_step suite "building" orvo_build "$here" || exit 1
cd "$here"
orvo_step suite "making the Wine prefix" scripts/wine-run "$here/build/mingw/wineprefix" cmd.exe /c exit ||
  exit 1
status=0
timeout 1800 ctest --preset mingw || status=1
# The pictures of the notices wait a minute for the timeout notice, so they are taken beside the
# reproducibility check, which needs no Wine. Not beside the suite: a second Wine session booting
# its prefix made a test's process fail to start now and then.
pictures_log=$here/build/mingw/notices-check.log
timeout 600 bash "$here/tests/notices/notices_test.sh" "$here/build/mingw/notices-check" \
  >"$pictures_log" 2>&1 &
pictures=$!
echo "== the same executable from the same source"
timeout 900 bash "$here/scripts/reproducible.sh" "$here/build/mingw/bin/OrvoUpdater.exe" || status=1
echo "== pictures of the notices"
wait $pictures || status=1
cat "$pictures_log"
[ $status = 0 ] || exit 1
[ -n "${ORVO_SANDBOX_LATER:-}" ] ||
  echo "sandbox checks skipped: they need root to create their user (run this script as root)"
