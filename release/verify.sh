#!/usr/bin/env bash
# Says "verified" only for the release built from this checkout with one
# Authenticode signature (SHA-256) attached by the expected signer, and
# nothing else: no nested signature, no unsigned data beside it but a time
# stamp that verifies, not a byte more or changed anywhere in the file, the
# signature's own bytes included (release/authenticode.py holds them to
# the one form osslsigncode writes). Prints one line a check.
#
#   verify.sh FILE RELEASE_EXE
#
# The signer is pinned by either or both of
#   VERIFY_CA=ca.pem            its certificate chains to this CA
#   VERIFY_SIGNER_SHA256=HEX    its certificate's SHA-256 (of the DER)
# and a time stamp must chain to VERIFY_TSA_CA=tsa-ca.pem, or, if that is
# not set, to the machine's CA bundle.
#
# Exit status:
#   0  verified
#   1  NOT verified: a check failed
#   2  nothing was decided: a wrong call, a missing file or a malformed pin
#   3  every check held but no pin was set: the signer was not checked
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cannot() { echo "verify: $*" >&2; exit 2; }
[ $# -eq 2 ] || cannot "usage: verify.sh FILE RELEASE_EXE"
file=$1
release=$2
[ -f "$file" ] || cannot "no such file: $file"
[ -f "$release" ] || cannot "no release build to compare with: $release"
for pin in VERIFY_CA VERIFY_TSA_CA; do
  [ -z "${!pin:-}" ] || [ -f "${!pin}" ] || cannot "$pin names no file: ${!pin}"
done
leaf_pin=$(tr -d ': ' <<<"${VERIFY_SIGNER_SHA256:-}" | tr A-F a-f)
[ -z "$leaf_pin" ] || [[ $leaf_pin =~ ^[0-9a-f]{64}$ ]] ||
  cannot "VERIFY_SIGNER_SHA256 is not a SHA-256 in hex: $VERIFY_SIGNER_SHA256"
for tool in osslsigncode openssl /usr/bin/python3; do
  command -v "$tool" >/dev/null || cannot "$tool is missing"
done
system_cas=/etc/ssl/certs/ca-certificates.crt
tsa_cas=${VERIFY_TSA_CA:-$system_cas}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
ok() { echo "ok   $*"; }
bad() { echo "FAIL $*"; failed=1; }
note() { echo "     $*"; }
sha() { sha256sum "$1" | cut -d' ' -f1; }
fact() { sed -n "s/^$1 //p" "$work/facts"; }
verdict() {
  if [ $failed -ne 0 ]; then
    echo "NOT verified"
    exit 1
  elif [ -z "$leaf_pin" ] && [ -z "${VERIFY_CA:-}" ]; then
    echo "NOT verified: the signer was not checked"
    exit 3
  fi
  echo "verified"
  exit 0
}

echo "checking $file (SHA-256 $(sha "$file"))"
if ! /usr/bin/python3 "$here/authenticode.py" facts "$file" "$work" \
  >"$work/facts" 2>"$work/error"; then
  bad "signed: $(sed 's/^authenticode.py: //' "$work/error")"
  verdict
fi
# check NAME TEXT: "ok NAME: TEXT", or FAIL with what authenticode.py found
# against NAME's kind of check (the second word of its "problem" lines).
check() {
  local found
  found=$(sed -n "s/^problem $1 //p" "$work/facts" | paste -sd ';' |
    sed 's/;/; /g')
  if [ -n "$found" ]; then
    bad "$2: $found"
  elif ! grep -qx stop "$work/facts"; then
    ok "$2: ${*:3}"
  fi
}
if grep -q '^problem signed ' "$work/facts"; then
  check signed signed
  verdict
elif [ "$(fact signed)" != 1 ]; then
  bad "signed: $file carries no Authenticode signature"
  verdict
fi
check signed signed "one Authenticode signature, its certificate table as" \
  "osslsigncode writes it"

# The signature's one form: every byte that its signer's signature does
# not cover is either a constant of that form or checked by a signature
# below, so that nothing can be added, hidden or changed in it.
check form "well-formed" "DER, every field as osslsigncode writes it;" \
  "encoded anew from its fields it is the file's signature byte for byte"
# One signature: Windows shows, and this script pins, the primary signer;
# a nested signature would be a second signer that nobody pinned.
check one "one signature" "one signer, SHA-256, RSA, no nested signature"
if [ "$(fact timestamps)" = 1 ]; then
  check unsigned "nothing unsigned beside it" "no unsigned attribute but" \
    "one time stamp, no revocation list"
else
  check unsigned "nothing unsigned beside it" "no unsigned attribute, no" \
    "revocation list"
fi
check certificates "certificates" "exactly the signer's chain, from the" \
  "certificate with its issuer and serial number up to a self-signed root," \
  "each issued by the next (checked by signature), in DER order"
grep -qx stop "$work/facts" && verdict

# The time stamp: an unsigned attribute that anyone can add, so it counts
# only if an authority the verifier trusts made it, over this signature.
if [ "$(fact timestamps)" = 0 ]; then
  :  # nothing to check, nor to say: no unsigned attribute came (above)
elif grep -q '^problem timestamp ' "$work/facts"; then
  check timestamp "time stamp"
elif openssl ts -verify -token_in -in "$work/timestamp.der" \
  -data "$work/signature-value.bin" -untrusted "$work/tsa-chain.pem" \
  -CAfile "$tsa_cas" >"$work/ts" 2>&1; then
  ok "time stamp: $(openssl ts -reply -token_in -in "$work/timestamp.der" \
    -text 2>/dev/null | sed -n 's/^Time stamp: //p'), of this signature," \
    "by an authority that chains to $tsa_cas; its certificates exactly" \
    "its chain, nothing unsigned in it"
else
  bad "time stamp: it does not verify against $tsa_cas (VERIFY_TSA_CA" \
    "names the time-stamping authority's CA)"
fi

# Intact: the digest signed is the file's own, and the key of the one
# certificate with the signer's issuer and serial number made the
# signature. OpenSSL is handed that certificate alone (-nointern): left to
# itself it takes the first certificate in the signature whose names match
# loosely, which need not be the one pinned below.
intact=0
if grep -q '^problem intact ' "$work/facts"; then
  check intact "signature intact"
elif [ ! -f "$work/leaf.pem" ]; then
  bad "signature intact: no certificate in it has its signer's issuer and" \
    "serial number"
elif ! openssl smime -verify -binary -noverify -nointern \
  -certfile "$work/leaf.pem" -in "$work/signature.pem" -inform PEM \
  -content "$work/signed-content.bin" -out /dev/null >"$work/smime" 2>&1; then
  bad "signature intact: the signer's certificate's key did not make the" \
    "signature"
else
  ok "signature intact: the file's digest is the signed one, and the" \
    "signer's certificate's key made the signature"
  intact=1
fi

if [ $intact = 1 ]; then
  openssl x509 -in "$work/leaf.pem" -outform DER -out "$work/leaf.der"
  note "signer: $(openssl x509 -in "$work/leaf.pem" -noout -subject |
    sed 's/^subject=//'), certificate SHA-256 $(sha "$work/leaf.der")"
  if openssl x509 -in "$work/leaf.pem" -noout -ext extendedKeyUsage |
    grep "Code Signing" >/dev/null; then
    ok "for code signing: the signer's certificate says so (extended key" \
      "usage)"
  else
    bad "for code signing: the signer's certificate is not for code signing"
  fi
  if [ -n "$leaf_pin" ]; then
    if [ "$(sha "$work/leaf.der")" = "$leaf_pin" ]; then
      ok "pinned: the signer's certificate is VERIFY_SIGNER_SHA256"
    else
      bad "pinned: the signer's certificate is not VERIFY_SIGNER_SHA256"
    fi
  fi
  # No store but VERIFY_CA: openssl verify otherwise also trusts the
  # machine's CA folder, and so any public CA.
  if [ -n "${VERIFY_CA:-}" ]; then
    if openssl verify -no-CApath -no-CAstore -partial_chain \
      -CAfile "$VERIFY_CA" -untrusted "$work/chain.pem" "$work/leaf.pem" \
      >/dev/null 2>&1; then
      ok "trusted: the signer chains to VERIFY_CA ($VERIFY_CA)"
    else
      bad "trusted: the signer does not chain to VERIFY_CA ($VERIFY_CA)"
    fi
  fi
  [ -n "$leaf_pin${VERIFY_CA:-}" ] ||
    note "signer not checked: VERIFY_CA or VERIFY_SIGNER_SHA256 pins it"
else
  note "signer: none established, so the pins were not checked"
fi

# The same build: this very signature attached to the release built here
# gives the file byte for byte, so nothing was added, hidden or changed in
# the parts the signature does not cover (the checksum, the certificate
# table, bytes after it).
osslsigncode attach-signature -sigin "$work/signature.pem" \
  -CAfile "$work/chain.pem" -TSA-CAfile "$tsa_cas" -in "$release" \
  -out "$work/rebuilt.exe" >/dev/null 2>&1
if cmp -s "$work/rebuilt.exe" "$file"; then
  ok "same build: byte for byte the release built from this checkout" \
    "(SHA-256 $(sha "$release")) with this signature attached"
else
  bad "same build: not the release built from this checkout" \
    "(SHA-256 $(sha "$release")) with this signature attached"
fi
verdict
