#!/usr/bin/env bash
# The release, signed with a throwaway code-signing certificate and checked
# as a shipper and a third party would: sign then verify passes; a changed
# byte, a signature over another build, an unsigned file, a CA that did not
# sign, a wrong password and a missing key file each fail, and say why.
# Leaves WORK/dist/signed/updater.exe for the binary checks and Wine.
#
#   sign_verify.sh WORK RELEASE_BUILD_DIR OTHER_BUILD_EXE
set -uo pipefail
work=$1
build=$2
other=$3
top=$(cd "$(dirname "$0")/../.." && pwd)
release=$build/bin/updater.exe
failed=0

# expect NAME EXIT_CODE PATTERN COMMAND...: COMMAND ends with EXIT_CODE and
# prints a line matching PATTERN.
expect() {
  local name=$1 code=$2 pattern=$3
  shift 3
  local output status
  output=$("$@" 2>&1)
  status=$?
  if [ $status -eq "$code" ] && grep -Eq -- "$pattern" <<<"$output"; then
    echo "ok   $name"
  else
    echo "FAIL $name (exit $status, wanted $code and /$pattern/):"
    sed 's/^/     /' <<<"$output"
    failed=1
  fi
}

rm -rf "$work"
mkdir -p "$work/keys"
keys=$work/keys
certificate() {  # NAME: a self-signed code-signing certificate and its key
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$1" \
    -addext "keyUsage=critical,digitalSignature" \
    -addext "extendedKeyUsage=codeSigning" \
    -keyout "$keys/$1.key" -out "$keys/$1.pem" 2>/dev/null
}
certificate signer
certificate stranger
openssl pkcs12 -export -inkey "$keys/signer.key" -in "$keys/signer.pem" \
  -out "$keys/signer.p12" -passout pass:correct-horse
printf 'battery-staple\n' >"$keys/key-password"
openssl pkey -in "$keys/signer.key" -aes256 -passout file:"$keys/key-password" \
  -out "$keys/signer-encrypted.key"

"$top/release/make_dist.sh" "$build" "$work/dist" >/dev/null
"$top/release/make_dist.sh" "$build" "$work/other" >/dev/null
cp "$other" "$work/other/updater.exe"
cp "$work/dist/updater.exe" "$work/unsigned.exe"

sign() {  # DIST [VARIABLE=VALUE...]
  local dist=$1
  shift
  env "$@" "$top/release/sign.sh" "$dist"
}
verify() { "$top/release/verify.sh" "$1" "$release"; }
signed=$work/dist/signed/updater.exe

expect "a wrong password fails and writes nothing" 1 "Wrong password" \
  sign "$work/dist" SIGN_PKCS12="$keys/signer.p12" SIGN_PASSWORD=wrong
[ ! -e "$work/dist/signed" ] || { echo "FAIL signed/ left behind"; failed=1; }
expect "a missing key file is named" 1 "SIGN_PKCS12 names no file" \
  sign "$work/dist" SIGN_PKCS12="$keys/nothing.p12" SIGN_PASSWORD=x
expect "no key at all is explained" 1 "no key: set SIGN_PKCS12" \
  sign "$work/dist"
expect "a certificate and an encrypted key sign" 0 "^signed: " \
  sign "$work/dist" SIGN_CERT="$keys/signer.pem" \
  SIGN_KEY="$keys/signer-encrypted.key" \
  SIGN_PASSWORD_FILE="$keys/key-password"
expect "... and that signature verifies" 0 "^verified$" verify "$signed"
expect "a PKCS#12 file signs" 0 "^signed: " \
  sign "$work/dist" SIGN_PKCS12="$keys/signer.p12" \
  SIGN_PASSWORD=correct-horse
expect "the unsigned release is kept as it was" 0 "updater.exe: OK" \
  bash -c "cd '$work/dist' && sha256sum -c SHA256SUMS"
expect "sign then verify passes" 0 "^verified$" verify "$signed"
expect "... and chains to the signer's CA" 0 "ok   trusted" \
  env VERIFY_CA="$keys/signer.pem" "$top/release/verify.sh" "$signed" \
  "$release"
expect "a CA that did not sign fails" 1 "FAIL trusted" \
  env VERIFY_CA="$keys/stranger.pem" "$top/release/verify.sh" "$signed" \
  "$release"

cp "$signed" "$work/changed.exe"
# One byte of code: .text starts at 0x400 in this image.
printf '\xcc' | dd of="$work/changed.exe" bs=1 seek=$((0x600)) \
  conv=notrunc 2>/dev/null
expect "one byte changed in the code fails" 1 \
  "FAIL signature intact: the file changed after it was signed" \
  verify "$work/changed.exe"
expect "a signature over another build fails the identity check" 1 \
  "FAIL same build" bash -c "
    env SIGN_PKCS12='$keys/signer.p12' SIGN_PASSWORD=correct-horse \
      '$top/release/sign.sh' '$work/other' >/dev/null &&
    '$top/release/verify.sh' '$work/other/signed/updater.exe' '$release'"
expect "... though its signature is intact" 0 "ok   signature intact" \
  bash -c "'$top/release/verify.sh' '$work/other/signed/updater.exe' \
    '$release'; true"
expect "an unsigned file is reported as unsigned" 1 \
  "FAIL signed: .* carries no Authenticode signature" \
  verify "$work/unsigned.exe"

exit $failed
