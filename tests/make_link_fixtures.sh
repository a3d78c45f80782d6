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
