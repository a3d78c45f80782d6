#!/usr/bin/env bash
# Makes the trees of tests/fixtures.txt on the host, for the tests under Wine, which cannot make
# links: every kind of link is a symbolic link here (Wine shows one to a folder as a reparse point,
# one to a file as a plain file), an unreadable folder has mode 000. With a prefix, its drive M:
# is made to lead into the folder "alias" of the trees: a drive letter onto a folder of another.
#   make_link_fixtures.sh FOLDER [PREFIX]
# FOLDER is made anew, if it is one of ours (orvo_own_folder); PREFIX is used only when it is a
# finished prefix of ours (.orvo-ready).
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
if [ -n "${2:-}" ] && [ -f "$2/.orvo-ready" ] && [ -d "$2/dosdevices" ]; then
  ln -sfn "$root/alias" "$2/dosdevices/m:"
fi
