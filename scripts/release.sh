#!/usr/bin/env bash
# Makes the release bundle dist/OrvoUpdater-<version>-x64.zip: builds, runs every test (the
# reproducibility check among them), and packs OrvoUpdater.exe, README.txt (how to call it) and
# SHA256SUMS. With a certificate, the executable in the bundle is signed (scripts/sign.sh); the
# build itself stays unsigned, as the reproducibility check compares it.
#
#   scripts/release.sh [--no-tests] [--no-build] [--dist DIR] [--timestamp URL] [CERT.pfx [PASSWORD]]
#
# The version is the project's (CMakeLists.txt). The password may come from ORVO_SIGN_PASSWORD.
# --no-tests and --no-build pack what build/mingw/bin holds, for a check of the packing itself.
# Every file in the bundle carries the time of the last commit, so that the same commit and
# certificate-less release give the same zip.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$here/scripts/lib.sh"

usage() {
  echo "usage: scripts/release.sh [--no-tests] [--no-build] [--dist DIR] [--timestamp URL]" \
    "[CERT.pfx [PASSWORD]]" >&2
  exit 64
}
tests=yes
build=yes
dist=$here/dist
sign_options=()
while [ $# -gt 0 ]; do
  case "$1" in
    --no-tests) tests=no ;;
    --no-build) build=no ;;
    --dist) [ $# -ge 2 ] || usage; dist=$2; shift ;;
    --timestamp) [ $# -ge 2 ] || usage; sign_options=(--timestamp "$2"); shift ;;
    --*) usage ;;
    *) break ;;
  esac
  shift
done
[ $# -le 2 ] || usage
certificate=${1:-}
[ -z "$certificate" ] || certificate=$(realpath "$certificate")
[ $# -lt 2 ] || export ORVO_SIGN_PASSWORD=$2

orvo_ensure_packages
if [ $tests = yes ]; then
  echo "== every test"
  bash "$here/scripts/test.sh"
fi
if [ $build = yes ]; then
  echo "== building"
  orvo_step build "building" orvo_build "$here" || exit 1
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$here/build/mingw/CMakeCache.txt")
[ -n "$version" ] || { echo "release: no version in build/mingw/CMakeCache.txt" >&2; exit 1; }
name=OrvoUpdater-$version-x64

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bundle=$work/$name
mkdir -p "$bundle"
cp "$here/build/mingw/bin/OrvoUpdater.exe" "$bundle/"
unsigned=$(sha256sum "$bundle/OrvoUpdater.exe" | cut -d' ' -f1)
if [ -n "$certificate" ]; then
  echo "== signing"
  bash "$here/scripts/sign.sh" "${sign_options[@]}" "$bundle/OrvoUpdater.exe" "$certificate"
fi
# Windows editors: CRLF line ends, and a byte-order mark so that older Notepads read it as UTF-8.
{ printf '\xef\xbb\xbf'; sed 's/$/\r/' "$here/docs/bundle-readme.txt"; } >"$bundle/README.txt"
(cd "$bundle" && sha256sum OrvoUpdater.exe README.txt >SHA256SUMS)

# Fixed times and order, no extra attributes: the zip depends on the files alone.
stamp=$(git -C "$here" log -1 --format=%ct 2>/dev/null || echo 315532800)
find "$work" -exec touch -h -d "@$stamp" {} +
mkdir -p "$dist"
zip_path=$(realpath -m "$dist/$name.zip")
rm -f "$zip_path"
(cd "$work" && TZ=UTC zip -X -D -q "$zip_path" "$name/OrvoUpdater.exe" "$name/README.txt" \
  "$name/SHA256SUMS")

echo "== $zip_path"
unzip -l "$zip_path" | sed 's/^/  /'
echo "  OrvoUpdater.exe as built (unsigned): $unsigned"
sed 's/^/  /' "$bundle/SHA256SUMS"
echo "  $(sha256sum "$zip_path" | cut -d' ' -f1)  $name.zip"
