#!/usr/bin/env bash
# Checks that OrvoUpdater.exe is the same, byte for byte, wherever and whenever it is built: builds
# it twice from this tree, in two folders of different names and depths, with different time zones,
# locales and umasks, and compares the SHA-256 of the two executables (and of any executable given,
# such as the one in build/mingw/bin). On a difference it prints the first differing offset.
#
#   scripts/reproducible.sh [OTHER_EXE...]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$here/scripts/lib.sh"

orvo_ensure_packages
work=$(mktemp -d /tmp/orvo-reproducible.XXXXXX)
trap 'rm -rf "$work"' EXIT

build_in() {  # build_in FOLDER TZ LANG UMASK: a copy of the tree, built there; prints the exe
  local tree=$work/$1
  mkdir -p "$tree"
  tar -C "$here" --exclude=./build --exclude=./.git --exclude=./dist -cf - . | tar -C "$tree" -xf -
  (
    umask "$4"
    cd "$tree"
    export TZ=$2 LANG=$3 LC_ALL=$3
    cmake -S . -B build/out -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DORVO_BUILD_TESTS=OFF >/dev/null
    cmake --build build/out --target OrvoUpdater >/dev/null
  )
  echo "$tree/build/out/bin/OrvoUpdater.exe"
}

started=$(date +%s)
exes=("$(build_in a UTC C 022)")
sleep 1  # a time stamp that slipped in would differ by now
exes+=("$(build_in second-build/with/a/longer/path Asia/Shanghai C.UTF-8 077)")
exes+=("$@")

reference=${exes[0]}
reference_sum=$(sha256sum "$reference" | cut -d' ' -f1)
status=0
for exe in "${exes[@]}"; do
  sum=$(sha256sum "$exe" | cut -d' ' -f1)
  echo "$sum  $exe"
  if [ "$sum" != "$reference_sum" ]; then
    status=1
    first=$(cmp "$reference" "$exe" 2>&1 | head -n 1 || true)
    case "$first" in
      *"differ: byte "*)
        byte=${first#*differ: byte }
        byte=${byte%%,*}
        printf '  differs from %s first at offset %d (0x%x)\n' "$reference" $((byte - 1)) $((byte - 1)) ;;
      *) echo "  differs from $reference: $first" ;;  # one is a prefix of the other
    esac
  fi
done
if [ $status = 0 ]; then
  echo "reproducible: ${#exes[@]} builds, one SHA-256 ($(($(date +%s) - started)) s)"
else
  echo "NOT reproducible"
fi
exit $status
