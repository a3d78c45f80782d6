#!/usr/bin/env bash
# Builds OrvoUpdater and performs one real update under Wine on the sample data: Kestrava 1.4.2 is
# running, exits after two seconds, OrvoUpdater lays version 1.5.0 over the installation, clears the
# staging directory and starts Kestrava again. Works on a copy: sample/ stays as it is.
#
#   scripts/demo.sh                    the update as it normally goes
#   scripts/demo.sh --with-locked-file another Kestrava process keeps a file open: a debug line and
#                                      the partial-copy notice, and the update carries on
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$here/scripts/lib.sh"

locked=no
[ "${1:-}" = "--with-locked-file" ] && locked=yes

orvo_ensure_packages
echo "== building"
orvo_step build "building" orvo_build "$here" || exit 1
bin=$here/build/mingw/bin
work=$(mktemp -d /tmp/orvo-demo.XXXXXX)
trap 'rm -rf "$work"' EXIT
cp -r "$here/sample/install-root" "$here/sample/staging" "$work/"
cp "$bin/kestrava_standin.exe" "$work/install-root/bin/64bit/Kestrava.exe"
cp "$bin/kestrava_standin.exe" "$work/staging/bin/64bit/Kestrava.exe"
printf 'new build\n' >>"$work/staging/bin/64bit/Kestrava.exe"  # 1.5.0's executable differs

windows_path() { printf 'Z:%s' "${1//\//\\}"; }

show_tree() {  # every file below $1 with its size and first line
  (cd "$1" && find . -type f | sort | while read -r f; do
    case "$f" in
      *.exe) printf '  %-36s %8s bytes\n' "${f#./}" "$(stat -c %s "$f")" ;;
      *) printf '  %-36s %8s bytes  "%s"\n' "${f#./}" "$(stat -c %s "$f")" "$(head -n 1 "$f")" ;;
    esac
  done)
}

echo
echo "== install root before ($work/install-root)"
show_tree "$work/install-root"
echo "== staging directory ($work/staging)"
show_tree "$work/staging"
echo
echo "== the update"
held=()
[ $locked = yes ] && held=("$(windows_path "$work/install-root/bin/64bit/data/strings.txt")")
set +e
ORVO_WINE_TIMEOUT=180 "$here/scripts/wine-run" "$here/build/mingw/demo-prefix" \
  "$bin/orvo_demo_driver.exe" "$(windows_path "$bin/OrvoUpdater.exe")" \
  "$(windows_path "$bin/kestrava_standin.exe")" "$(windows_path "$work/install-root")" \
  "$(windows_path "$work/staging")" 2000 "${held[@]}"
code=$?
set -e

echo
echo "== install root after"
record=$work/install-root/bin/64bit/restart-record.txt
for _ in $(seq 100); do [ -f "$record" ] && break; sleep 0.1; done
show_tree "$work/install-root"
if [ -d "$work/staging" ]; then
  echo "== staging directory: still there"
  show_tree "$work/staging"
else
  echo "== staging directory: removed"
fi
echo "== restarted application"
if [ -f "$record" ]; then sed 's/^/  /' "$record"; else echo "  (not started)"; fi
echo
echo "OrvoUpdater exited with $code"
