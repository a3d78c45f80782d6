#!/usr/bin/env bash
# Prepares, on the host side, what the tests cannot make from inside Wine: symbolic links and
# unreadable directories. Each scenario gets a folder of its own with a "canary" tree behind its
# links; the tests check that the canary stays intact.
set -euo pipefail
root=$1
if [ -d "$root" ]; then chmod -R u+rwx "$root" 2>/dev/null || true; rm -rf "$root"; fi
mkdir -p "$root"

canary() {  # canary DIR: a small tree that nothing may touch
  mkdir -p "$1/sub"
  echo "secret" >"$1/secret.txt"
  echo "deep" >"$1/sub/deep.txt"
}

# A copy whose staging tree holds links: to a directory at the top, to a file, and deeper down.
s=$root/copy-links
canary "$s/canary"
mkdir -p "$s/staging/sub" "$s/install"
echo "new" >"$s/staging/new.txt"
echo "a" >"$s/staging/sub/a.txt"
ln -s "$s/canary" "$s/staging/dirlink"
ln -s "$s/canary" "$s/staging/sub/inner"
ln -s "$s/canary/secret.txt" "$s/staging/filelink.txt"

# A staging directory that is itself a link.
s=$root/copy-root-link
canary "$s/canary"
mkdir -p "$s/install"
ln -s "$s/canary" "$s/staging"

# An install root where the copy would have to write through a link.
s=$root/copy-dest-link
canary "$s/canary"
mkdir -p "$s/staging/bin" "$s/install"
echo "x" >"$s/staging/bin/x.dll"
echo "top" >"$s/staging/top.txt"
ln -s "$s/canary" "$s/install/bin"

# A staging subdirectory that cannot be listed.
s=$root/copy-unlistable
mkdir -p "$s/staging/locked" "$s/install"
echo "a" >"$s/staging/a.txt"
echo "b" >"$s/staging/locked/b.txt"
echo "z" >"$s/staging/z.txt"
chmod 000 "$s/staging/locked"

# A clean-up of a staging tree with links at every level, among plain files and directories.
s=$root/clear-links
canary "$s/canary"
mkdir -p "$s/canary-empty" "$s/staging/sub/deeper" "$s/staging/plain"
echo "top" >"$s/staging/top.txt"
echo "f" >"$s/staging/sub/f.txt"
echo "x" >"$s/staging/plain/x.txt"
ln -s "$s/canary" "$s/staging/dirlink"
ln -s "$s/canary-empty" "$s/staging/emptylink"
ln -s "$s/canary" "$s/staging/sub/deeper/inner"
ln -s "$s/canary/secret.txt" "$s/staging/sub/filelink.txt"

# A clean-up whose staging directory is itself a link, to a tree and to an empty directory.
s=$root/clear-root-link
canary "$s/canary"
mkdir -p "$s/canary-empty"
ln -s "$s/canary" "$s/staging"
ln -s "$s/canary-empty" "$s/staging-empty"

# An install root whose files are a symbolic link and a hard link to files outside it.
s=$root/copy-dest-file-links
canary "$s/canary"
mkdir -p "$s/staging" "$s/install"
echo "new link" >"$s/staging/link.txt"
echo "new hard" >"$s/staging/hard.txt"
ln -s "$s/canary/sub/deep.txt" "$s/install/link.txt"
ln "$s/canary/secret.txt" "$s/install/hard.txt"
