#!/usr/bin/env bash
# Runs every test of OrvoUpdater: installs what is missing, builds the Windows programs with
# mingw-w64 and runs the suite with CTest under Wine, then the reproducibility check (two more
# builds, compared byte for byte) with the check of the notices' pictures beside it.
#
# Started as root, it installs the packages, then builds and tests a copy of the tree as the
# unprivileged user "orvotest": Wine run as root ignores the read-only attribute, which several
# tests depend on, and the copy keeps the run independent of where this checkout lies. Then it runs
# the sandbox checks (a racing user, interrupted updates, random command lines) as a user that owns
# nothing but its sandbox; they need root to make that user, and are skipped without it.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$here/scripts/lib.sh"

if [ "$(id -u)" = 0 ]; then
  orvo_ensure_packages
  user=orvotest
  home=/var/lib/$user
  id -u "$user" >/dev/null 2>&1 ||
    useradd --system --create-home --home-dir "$home" --shell /bin/bash "$user"
  mkdir -p "$home"
  chown "$user:" "$home"
  work=$home/tree
  # A Wine session of an earlier run (its wineserver lingers a while) would still write there.
  pkill -KILL -u "$user" 2>/dev/null || true
  rm -rf "$work"
  mkdir -p "$work"
  # Where X servers put their sockets; an unprivileged Xvfb cannot make it with the right owner.
  mkdir -p /tmp/.X11-unix
  chmod 1777 /tmp/.X11-unix
  tar -C "$here" --exclude=./build --exclude=./.git -cf - . | tar -C "$work" -xf -
  chown -R "$user:" "$work"
  echo "running the suite as $user in $work"
  runuser -u "$user" -- env -i HOME="$home" PATH="$PATH" LANG=C.UTF-8 CI="${CI:-}" \
    ORVO_SANDBOX_LATER=1 bash "$work/scripts/test.sh"
  echo "running the sandbox checks"
  # A fixed seed, so that a failure can be replayed; scripts/stress.sh draws new ones.
  timeout 1200 bash "$here/tests/sandbox/run.sh" "$work/build/mingw/bin" 10 4 40 20261207
  exit
fi

orvo_ensure_packages
orvo_build "$here"
cd "$here"
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
