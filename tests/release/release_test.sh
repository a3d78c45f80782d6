#!/usr/bin/env bash
# Signs a copy of the built OrvoUpdater.exe with a throw-away code-signing certificate made here,
# and checks what a release relies on: the signature is there, verifies and names the
# certificate's subject; it is the only change (removing it gives back the unsigned bytes, so the
# image and its behaviour are the ones the other tests check). A signing that fails
# (wrong password, unreachable time-stamping server) leaves the executable as it was. Then packs a
# release bundle with that certificate and checks what a downloader gets.
#
#   release_test.sh BIN_DIR WORK_DIR
set -uo pipefail
bin=$1
work=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

failures=0
check() {  # check DESCRIPTION COMMAND...: runs the command, reports its outcome
  if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; failures=$((failures + 1)); fi
}
same_bytes() { cmp -s "$1" "$2"; }

. "$here/scripts/lib.sh"
orvo_own_folder "$work" && cd "$work" || exit 1
subject="/CN=OrvoUpdater test signer $$-$RANDOM/O=Kestrava test"
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 -subj "$subject" \
  -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=critical,digitalSignature" \
  >openssl.log 2>&1 || { cat openssl.log; exit 1; }
openssl pkcs12 -export -inkey key.pem -in cert.pem -out signer.pfx -passout pass:test-password \
  >>openssl.log 2>&1 || { cat openssl.log; exit 1; }
cp "$bin/OrvoUpdater.exe" unsigned.exe

# Failures first: each must leave the executable untouched.
cp unsigned.exe refused.exe
check "a wrong password is refused" \
  bash -c '! bash "$0/scripts/sign.sh" refused.exe signer.pfx wrong-password >refused.log 2>&1' "$here"
check "a refused signing leaves the executable as it was" same_bytes unsigned.exe refused.exe
check "an unreachable time-stamping server fails the signing" \
  bash -c '! ORVO_SIGN_PASSWORD=test-password bash "$0/scripts/sign.sh" --timestamp http://127.0.0.1:9/ \
    refused.exe signer.pfx >timestamp.log 2>&1' "$here"
check "... and leaves the executable as it was" same_bytes unsigned.exe refused.exe

# The password from the environment, as a release would pass it.
cp unsigned.exe signed.exe
check "signing succeeds" \
  bash -c 'ORVO_SIGN_PASSWORD=test-password bash "$0/scripts/sign.sh" signed.exe signer.pfx >signed.log 2>&1' "$here"
check "the signature verifies against the certificate" \
  bash -c 'osslsigncode verify -in signed.exe -CAfile cert.pem >verify.log 2>&1'
check "the signature names the certificate's subject" grep -qF "Subject: $subject" verify.log
check "the digests are SHA-256" grep -q "^Message digest algorithm *: SHA256" verify.log
check "the signature carries the product's description" grep -q "Text description: Kestrava Updater" verify.log
osslsigncode remove-signature -in signed.exe -out stripped.exe >/dev/null 2>&1
check "the signature is the only change" same_bytes unsigned.exe stripped.exe

# The release bundle, signed with the same certificate, packed from this build.
bash "$here/scripts/release.sh" --no-tests --no-build --dist "$work/dist" signer.pfx test-password \
  >release.log 2>&1
check "the release command packs a signed bundle" test $? = 0
version=$(sed -n 's/^project(OrvoUpdater VERSION \([0-9.]*\) .*/\1/p' "$here/CMakeLists.txt")
bundle=OrvoUpdater-$version-x64
zip=$work/dist/$bundle.zip
listing=$(unzip -Z1 "$zip" 2>/dev/null | sort | tr '\n' ' ')
check "the bundle $bundle.zip holds the executable, README.txt and SHA256SUMS, nothing else" \
  test "$listing" = "$bundle/OrvoUpdater.exe $bundle/README.txt $bundle/SHA256SUMS "
unzip -q -o "$zip" -d unpacked 2>/dev/null
check "SHA256SUMS names both files and matches them" bash -c \
  "cd unpacked/$bundle && sha256sum --quiet -c SHA256SUMS && [ \$(wc -l <SHA256SUMS) = 2 ]"
check "the bundled executable carries a valid signature" bash -c \
  "osslsigncode verify -in unpacked/$bundle/OrvoUpdater.exe -CAfile cert.pem >/dev/null 2>&1"
osslsigncode remove-signature -in "unpacked/$bundle/OrvoUpdater.exe" -out bundled-stripped.exe \
  >/dev/null 2>&1
check "... over the very bytes of the build" same_bytes unsigned.exe bundled-stripped.exe
check "README.txt is UTF-8 with a byte-order mark and CRLF line ends" bash -c \
  "head -c 3 unpacked/$bundle/README.txt | od -An -tx1 | grep -q 'ef bb bf' &&
   ! grep -qv \$'\r\$' unpacked/$bundle/README.txt"
check "README.txt names every option and exit code" bash -c "for w in --pid --install-root \
  --staging-dir --exe-subdir --restart '  0  ' '  1  ' '  2  ' '  3  '; do
  grep -qF -- \"\$w\" unpacked/$bundle/README.txt || exit 1; done"
bash "$here/scripts/release.sh" --no-tests --no-build --dist "$work/dist-again" >/dev/null 2>&1
bash "$here/scripts/release.sh" --no-tests --no-build --dist "$work/dist-unsigned" >/dev/null 2>&1
check "an unsigned bundle comes out the same, byte for byte, when packed again" \
  same_bytes "$work/dist-again/$bundle.zip" "$work/dist-unsigned/$bundle.zip"

if [ $failures -ne 0 ]; then
  for log in refused.log timestamp.log signed.log verify.log release.log; do
    [ -f "$log" ] && { echo "--- $log"; cat "$log"; }
  done
  exit 1
fi
