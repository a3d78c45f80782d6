#!/usr/bin/env bash
# What the built executable carries, read back with the toolchain's tools: a 64-bit GUI program
# that imports only Windows system DLLs, with exactly a manifest demanding administrator rights
# and a version resource, both with id 1 in language 1033.
#   image_test.sh EXE [WINDRES] [OBJDUMP]
set -uo pipefail
exe=$1 windres=${2:-x86_64-w64-mingw32-windres} objdump=${3:-x86_64-w64-mingw32-objdump}
failures=0
expect() {  # expect WHAT EXPECTED ACTUAL
  [ "$2" = "$3" ] && return
  echo "FAILED: $1"; diff <(echo "$2") <(echo "$3"); failures=$((failures + 1))
}
headers=$("$objdump" -p "$exe")
expect "64-bit GUI program" $'pei-x86-64\n020b\nWindows GUI' \
  "$(sed -n 's/.*file format //p; s/^Magic\t*\([0-9a-f]*\).*/\1/p; s/^Subsystem.*(\(.*\))/\1/p' <<<"$headers")"
expect "only system DLLs" "KERNEL32.DLL MSVCRT.DLL NTDLL.DLL SHELL32.DLL USER32.DLL" \
  "$(sed -n 's/.*DLL Name: //p' <<<"$headers" | tr a-z A-Z | sort | xargs)"
# The resources as windres writes them back, without its comments: exactly the expected ones.
expect "the manifest and the version resource, and nothing else" \
  "$(cat "$(dirname "${BASH_SOURCE[0]}")/image_resources.txt")" \
  "$("$windres" -i "$exe" -O rc | grep -v -e '^$' -e '^/\*' -e '^ *Name: ')"
echo "image: $failures failed"
[ $failures = 0 ]
