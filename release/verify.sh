#!/usr/bin/env bash
# Says "verified" only for the release built from this checkout with one
# Authenticode signature (SHA-256) attached by the expected signer, and
# nothing else: no nested signature, no unsigned data beside it but a time
# stamp that verifies, not a byte more or changed anywhere in the file.
# Prints one line a check.
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
  bad "signed: its signature $(sed 's/^authenticode.py: //' "$work/error")"
  verdict
fi
if [ "$(fact signed)" != 1 ]; then
  bad "signed: $file carries no Authenticode signature"
  verdict
fi

# One signature: Windows shows, and this script pins, the primary signer;
# a nested signature would be a second signer that nobody pinned, and
# osslsigncode accepts a file when any one of its signatures holds.
one="$(fact signers) $(fact nested) $(fact digest) $(fact signer-digest)"
if [ "$one" = "1 0 sha256 sha256" ]; then
  ok "one signature: SHA-256, with no nested signature"
else
  bad "one signature: signers, nested signatures, digests:" \
    "$one (wanted 1 0 sha256 sha256)"
fi

# Nothing unsigned beside it: the signature's unsigned parts are the one
# place where bytes can be added to a file without breaking it.
extras=$(
  fact other-unsigned | sed 's/^/unsigned attribute /'
  [ "$(fact timestamps)" -le 1 ] || echo "$(fact timestamps) time stamps"
  [ "$(fact stray-certificates)" = 0 ] ||
    echo "$(fact stray-certificates) certificates outside the signer's chain"
  [ "$(fact crls)" = 0 ] || echo "$(fact crls) revocation lists"
  [ "$(fact signer-certificate)" = 1 ] ||
    echo "the signer's own certificate missing"
)
if [ -z "$extras" ]; then
  ok "nothing unsigned beside it: no attribute but a time stamp, no" \
    "certificate outside the signer's chain"
else
  bad "nothing unsigned beside it: $(paste -sd, <<<"$extras" | sed 's/,/, /g')"
fi

if [ "$(fact timestamps)" = 0 ]; then
  note "time stamp: none (the signature holds while the signer's" \
    "certificate is valid)"
elif openssl ts -verify -token_in -in "$work/timestamp.der" \
  -data "$work/signature-value.bin" -CAfile "$tsa_cas" >"$work/ts" 2>&1; then
  ok "time stamp: $(openssl ts -reply -token_in -in "$work/timestamp.der" \
    -text 2>/dev/null | sed -n 's/^Time stamp: //p'), of this signature," \
    "by an authority that chains to $tsa_cas"
else
  bad "time stamp: it does not verify against $tsa_cas (VERIFY_TSA_CA" \
    "names the time-stamping authority's CA)"
fi

# Intact: the digest the signature holds is the file's own (osslsigncode
# computes it), and the primary signer's signature covers that digest
# (OpenSSL, over the content it signed, without judging its certificate:
# the pins do that). osslsigncode's own verdict is not used: it accepts a
# file when any one of its signatures holds.
offline=()  # osslsigncode 2.9 fetches CRLs unless told not to; 2.5 never
osslsigncode verify --help 2>&1 | grep -- -ignore-cdp >/dev/null &&
  offline=(-ignore-cdp)
osslsigncode verify "${offline[@]}" -CAfile "$work/certificates.pem" \
  -TSA-CAfile "$tsa_cas" -in "$file" >"$work/report" 2>&1
digest() {  # the first line "$1 message digest : HEX": the primary's
  sed -n "s/^$1 message digest *: *\([0-9A-Fa-f]*\).*/\1/p" "$work/report" |
    head -n 1
}
if [ -z "$(digest Current)" ]; then
  bad "signature intact: osslsigncode could not read it:"
  sed 's/^/     /' "$work/report"
elif [ "$(digest Current)" != "$(digest Calculated)" ]; then
  bad "signature intact: the file changed after it was signed" \
    "(signed digest $(digest Current), the file's $(digest Calculated))"
elif ! openssl smime -verify -noverify -binary -in "$work/signature.pem" \
  -inform PEM -content "$work/signed-content.bin" -out /dev/null \
  >"$work/smime" 2>&1; then
  bad "signature intact: the signature does not check with its signer's" \
    "certificate"
else
  ok "signature intact: the file is what was signed (digest $(digest Current))"
fi

if [ "$(fact signer-certificate)" = 1 ]; then
  openssl x509 -inform DER -in "$work/leaf.der" -out "$work/leaf.pem"
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
  if [ -n "${VERIFY_CA:-}" ]; then
    # No store but VERIFY_CA: openssl verify otherwise also trusts the
    # machine's CA folder, and so any public CA.
    if openssl verify -no-CApath -no-CAstore -partial_chain \
      -CAfile "$VERIFY_CA" -untrusted "$work/certificates.pem" \
      "$work/leaf.pem" >/dev/null 2>&1
    then
      ok "trusted: the signer chains to VERIFY_CA ($VERIFY_CA)"
    else
      bad "trusted: the signer does not chain to VERIFY_CA ($VERIFY_CA)"
    fi
  fi
  [ -n "$leaf_pin${VERIFY_CA:-}" ] ||
    note "signer not checked: VERIFY_CA or VERIFY_SIGNER_SHA256 pins it"
fi

# The same build: this very signature attached to the release built here
# gives the file byte for byte, so nothing was added, hidden or changed in
# the parts the signature does not cover (the checksum, the certificate
# table, bytes after it).
osslsigncode attach-signature -sigin "$work/signature.pem" \
  -CAfile "$work/certificates.pem" \
  -TSA-CAfile "$tsa_cas" -in "$release" -out "$work/rebuilt.exe" \
  >/dev/null 2>&1
if cmp -s "$work/rebuilt.exe" "$file"; then
  ok "same build: byte for byte the release built from this checkout" \
    "(SHA-256 $(sha "$release")) with this signature attached"
else
  bad "same build: not the release built from this checkout" \
    "(SHA-256 $(sha "$release")) with this signature attached"
fi
verdict
