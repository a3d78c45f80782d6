#!/usr/bin/env bash
# Prepares, on the host side, what the tests cannot make from inside Wine: symbolic links, hard
# links, unreadable directories, and a tree deeper than the updater walks. Each scenario gets a
# folder of its own; what lies behind its links must stay intact.
set -euo pipefail
root=$1
if [ -d "$root" ]; then chmod -R u+rwx "$root" 2>/dev/null || true; rm -rf "$root"; fi
mkdir -p "$root"
canary() { mkdir -p "$1/sub"; echo secret >"$1/secret.txt"; echo deep >"$1/sub/deep.txt"; }
put() { for f; do mkdir -p "$(dirname "$f")"; echo "${f##*/}" | sed 's/\.txt$//; s/\.dll$//' >"$f"; done; }

# Links and an unreadable directory in the staging tree, links in the install root.
s=$root/links
canary "$s/canary"
mkdir -p "$s/canary-empty" "$s/install"
put "$s/staging/new.txt" "$s/staging/sub/a.txt" "$s/staging/locked/b.txt" "$s/staging/bin/x.dll"
echo "new link" >"$s/staging/link.txt"
echo "new hard" >"$s/staging/hard.txt"
ln -s "$s/canary" "$s/staging/dirlink"
ln -s "$s/canary-empty" "$s/staging/emptylink"
ln -s "$s/canary" "$s/staging/sub/inner"
ln -s "$s/canary/secret.txt" "$s/staging/filelink.txt"
chmod 000 "$s/staging/locked"
ln -s "$s/canary" "$s/install/bin"
ln -s "$s/canary/sub/deep.txt" "$s/install/link.txt"
ln "$s/canary/secret.txt" "$s/install/hard.txt"
ln -s "$s/canary/secret.txt" "$s/install/~OrvoUpdater-partial-9.tmp"

# A link is all that cannot be copied.
s=$root/only-link
canary "$s/canary"
mkdir -p "$s/install"
put "$s/staging/new.txt"
ln -s "$s/canary" "$s/staging/dirlink"

# Staging directories reached through links, and an install root that is a link to one.
s=$root/refuse
mkdir -p "$s/install"
put "$s/install/keep.txt" "$s/elsewhere/stg/secret.txt"
ln -s "$s/elsewhere" "$s/via"
ln -s "$s/elsewhere/stg" "$s/stglink"
ln -s "$s/install" "$s/tolink"
ln -s "$s/install" "$s/rootlink"

# An install root that is a link, with the staging directory inside it.
s=$root/root-link
put "$s/real/staging/new.txt"
ln -s "$s/real" "$s/rootlink"
