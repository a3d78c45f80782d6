#!/usr/bin/env bash
# Signs a Windows executable in place with an Authenticode signature (SHA-256), so that the
# consent prompt of an elevated start names its publisher instead of "Unknown publisher".
#
#   scripts/sign.sh [--timestamp URL] EXE CERT.pfx [PASSWORD]
#
# CERT.pfx is a PKCS#12 file with the code-signing certificate, its private key and, where the
# issuer supplies them, the intermediate certificates. The password may come from the environment
# (ORVO_SIGN_PASSWORD) instead of the command line, where other users of the machine could read it.
# --timestamp asks an RFC 3161 time-stamping server to countersign, which keeps the signature
# valid after the certificate expires. Sign after the reproducibility check: the signature is the
# only difference from the unsigned build (osslsigncode remove-signature gives back its bytes).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$here/scripts/lib.sh"

usage() {
  echo "usage: scripts/sign.sh [--timestamp URL] EXE CERT.pfx [PASSWORD]" >&2
  exit 64
}
timestamp=()
if [ "${1:-}" = "--timestamp" ]; then
  [ $# -ge 2 ] || usage
  timestamp=(-ts "$2")
  shift 2
fi
[ $# -eq 2 ] || [ $# -eq 3 ] || usage
exe=$1
pfx=$2
password=${3:-${ORVO_SIGN_PASSWORD:-}}
[ -f "$exe" ] || { echo "sign: no such executable: $exe" >&2; exit 66; }
[ -f "$pfx" ] || { echo "sign: no such certificate file: $pfx" >&2; exit 66; }

orvo_ensure_packages osslsigncode
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The password goes to osslsigncode through a file only this user can read, not its command line.
(umask 077 && printf '%s' "$password" >"$work/password")
osslsigncode sign -pkcs12 "$pfx" -readpass "$work/password" -h sha256 \
  -n "Kestrava Updater" "${timestamp[@]}" -in "$exe" -out "$work/signed.exe" >"$work/log" 2>&1 || {
  cat "$work/log" >&2
  echo "sign: $exe was not signed and is unchanged" >&2
  exit 1
}
# Replaced by a rename, so that the executable is never half written.
cp "$work/signed.exe" "$exe.signing"
chmod --reference="$exe" "$exe.signing"
mv -f "$exe.signing" "$exe"
echo "signed: $exe ($(sha256sum "$exe" | cut -d' ' -f1))"
