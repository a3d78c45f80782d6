#!/usr/bin/env bash
# Makes the trees of tests/fixtures.txt on the host, for the tests under Wine, which cannot make
# links: every kind of link is a symbolic link here (Wine shows one to a folder as a reparse point,
# one to a file as a plain file), an unreadable folder has mode 000.
#   make_link_fixtures.sh FOLDER
# FOLDER is made anew, if it is one of ours (orvo_own_folder).
set -euo pipefail
here=$(dirname "${BASH_SOURCE[0]}")
. "$here/../scripts/lib.sh"
root=$(realpath -m -- "$1")
orvo_own_folder "$root" || exit 2
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
done <"$here/fixtures.txt"
[ ${#unreadable[@]} = 0 ] || chmod 000 "${unreadable[@]}"
