#!/usr/bin/env bash
# Takes a picture of each of the four notices as the real OrvoUpdater.exe shows them: Wine draws on
# a virtual X server (Xvfb) into a 640x300 desktop, each box is brought up the way a user meets it,
# and its part of the screen is saved as a PNG. About 80 seconds: the timeout notice comes only
# after the updater's one-minute wait.
#
#   scripts/notices.sh [--no-build] [OUT_DIR]     default: docs/ (what the README shows)
#
# --no-build takes the programs as they are in build/mingw/bin (the test command's check, which
# runs beside the suite).
#
# Writes notice-usage.png, notice-timeout.png, notice-partial.png and notice-restart.png. The PNGs
# carry no time stamps, so that pictures of unchanged notices come out the same.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$here/scripts/lib.sh"
build=yes
if [ "${1:-}" = "--no-build" ]; then
  build=no
  shift
fi
out=$(realpath -m "${1:-$here/docs}")
names=(usage partial restart timeout)  # in the order the boxes come up

orvo_ensure_packages
[ $build = no ] || orvo_step build "building" orvo_build "$here" || exit 1
bin=$here/build/mingw/bin
prefix=$here/build/mingw/notices-prefix
work=$(mktemp -d /tmp/orvo-notices.XXXXXX)
xvfb_pid=
cleanup() {
  WINEPREFIX=$prefix timeout 30 /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT  # so that a time limit still ends the X server and Wine
mkdir -p "$work/exchange" "$work/files" "$out"

# A display of its own: Xvfb picks a free number and writes it to fd 3.
Xvfb -displayfd 3 -screen 0 640x300x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { cat "$work/xvfb.log" >&2; echo "notices: Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(cat "$work/display")

windows_path() { printf 'Z:%s' "${1//\//\\}"; }
ORVO_WINE_DESKTOP=640x300 ORVO_WINE_TIMEOUT=300 "$here/scripts/wine-run" "$prefix" \
  "$bin/orvo_notice_shots.exe" "$(windows_path "$bin/OrvoUpdater.exe")" \
  "$(windows_path "$bin/kestrava_standin.exe")" "$(windows_path "$work/files")" \
  "$(windows_path "$work/exchange")" >"$work/shots.log" 2>&1 &
shots=$!

status=0
for name in "${names[@]}"; do
  rect=$work/exchange/$name.rect
  for _ in $(seq 1500); do  # up to 150 s: the timeout notice comes after a minute
    [ -f "$rect" ] || ! kill -0 $shots 2>/dev/null && break
    sleep 0.1
  done
  if [ ! -f "$rect" ]; then
    echo "notices: the $name notice never came up" >&2
    status=1
    break
  fi
  read -r left top width height <"$rect"
  xwd -root -silent | convert xwd:- -crop "${width}x${height}+${left}+${top}" +repage \
    -strip -define png:exclude-chunks=date,time "$out/notice-$name.png"
  touch "$work/exchange/$name.taken"
  echo "notice-$name.png: ${width}x${height}"
done
wait $shots || status=1
sed 's/^/  /' "$work/shots.log"
[ $status = 0 ] && echo "pictures of the four notices in $out"
exit $status
