#!/usr/bin/env bash
# Makes the trees of tests/fixtures.txt on the host, for the tests under Wine, which cannot make
# links: every kind of link is a symbolic link here (Wine shows one to a folder as a reparse point,
# one to a file as a plain file), an unreadable folder has mode 000.
#   make_link_fixtures.sh FOLDER
# FOLDER is made anew; one that is neither missing nor carries the marker put in it here is left
# alone and refused.
set -euo pipefail
root=$(realpath -m -- "$1")
if [ -e "$root" ] && [ ! -e "$root/.orvo-fixtures" ]; then
  echo "make_link_fixtures.sh: $root is not a fixture folder of ours: not using it" >&2
  exit 2
fi
if [ -d "$root" ]; then chmod -R u+rwx "$root"; rm -rf -- "$root"; fi
mkdir -p "$root"
touch "$root/.orvo-fixtures"
unreadable=()
while read -r kind path rest; do
  case "$kind" in ''|'#'*) continue ;; esac
  at=$root/$path
  mkdir -p "$(dirname "$at")"
  case "$kind" in
    dir) mkdir -p "$at" ;;
    file) printf '%s\n' "$rest" >"$at" ;;
    junction|dirlink|filelink) ln -s "$root/$rest" "$at" ;;
    hardlink) ln "$root/$rest" "$at" ;;
    unreadable) mkdir -p "$at"; unreadable+=("$at") ;;
    *) echo "make_link_fixtures.sh: unknown kind '$kind' in fixtures.txt" >&2; exit 1 ;;
  esac
done <"$(dirname "${BASH_SOURCE[0]}")/fixtures.txt"
[ ${#unreadable[@]} = 0 ] || chmod 000 "${unreadable[@]}"
