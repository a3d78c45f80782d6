#!/usr/bin/env bash
# Checks the notices command: it must produce the four pictures, each a PNG of a plausible size for
# a message box whose pixels are not all one colour, and say whether the pictures the README shows
# (docs/) are still the same.
#
#   notices_test.sh WORK_DIR     (takes the programs already built in build/mingw/bin)
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
. "$here/scripts/lib.sh"
work=$1
orvo_own_folder "$work" || exit 1

started=$(date +%s)
bash "$here/scripts/notices.sh" --no-build "$work" || { echo "FAILED: the notices command failed"; exit 1; }
failures=0
for name in usage timeout partial restart; do
  png=$work/notice-$name.png
  # width, height, number of distinct colours; empty when the file is no picture
  read -r width height colours < <(identify -format '%w %h %k\n' "png:$png" 2>/dev/null || true)
  problem=
  if [ ! -s "$png" ]; then problem="missing or empty"
  elif [ "$(head -c 8 "$png" | od -An -tx1 | tr -d ' ')" != 89504e470d0a1a0a ]; then problem="not a PNG"
  elif [ -z "${width:-}" ]; then problem="not readable as a picture"
  elif [ "$width" -lt 150 ] || [ "$width" -gt 640 ] || [ "$height" -lt 60 ] || [ "$height" -gt 300 ]; then
    problem="${width}x${height} is no size for a message box"
  elif [ "$colours" -lt 16 ]; then problem="only $colours colours: no text or icon drawn"
  fi
  if [ -n "$problem" ]; then
    echo "FAILED: notice-$name.png: $problem"
    failures=$((failures + 1))
  else
    echo "ok: notice-$name.png, ${width}x${height}, $colours colours, $(stat -c %s "$png") bytes"
  fi
  cmp -s "$png" "$here/docs/notice-$name.png" && echo "    the same as docs/notice-$name.png" ||
    echo "    differs from docs/notice-$name.png: run scripts/notices.sh to bring the README's up to date"
done
echo "notices check: $failures failed, $(($(date +%s) - started)) s"
[ $failures = 0 ]
