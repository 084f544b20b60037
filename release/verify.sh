#!/usr/bin/env bash
# Checks a signed updater.exe: that its Authenticode signature is intact,
# optionally that it chains to a CA of the caller's (VERIFY_CA=ca.pem),
# and that without its signature it is, byte for byte, the release built
# from this checkout. Prints each check; exits 1 if any fails, an unsigned
# file included.
#
#   verify.sh FILE RELEASE_EXE
set -uo pipefail
file=$1
release=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
ok() { echo "ok   $*"; }
bad() { echo "FAIL $*"; failed=1; }
sha() { sha256sum "$1" | cut -d' ' -f1; }

[ -f "$file" ] || { bad "no such file: $file"; exit 1; }
echo "checking $file (SHA-256 $(sha "$file"))"

# osslsigncode fetches CRLs named in the certificates unless told not to
# (older versions have no such option and do not fetch them).
offline=()
osslsigncode verify --help 2>&1 | grep -q -- -ignore-cdp &&
  offline=(-ignore-cdp)

# verify_against CA_FILE: osslsigncode's verdict and its report.
verify_against() {
  osslsigncode verify "${offline[@]}" -CAfile "$1" -in "$file" \
    >"$work/report" 2>&1
}

if ! osslsigncode extract-signature -pem -in "$file" -out "$work/sig.pem" \
  >/dev/null 2>&1; then
  bad "signed: $file carries no Authenticode signature"
  cp "$file" "$work/unsigned.exe"
else
  openssl pkcs7 -in "$work/sig.pem" -print_certs -out "$work/embedded.pem" \
    2>/dev/null
  signer=$(openssl pkcs7 -in "$work/sig.pem" -print_certs -noout 2>/dev/null |
    sed -n '1s/^subject=//p')
  ok "signed: by $signer"
  # Intact: the file's digest is the one that was signed, and the
  # signature over it checks with the signer's certificate. Trust is left
  # to VERIFY_CA: here the signature's own certificates, with the
  # machine's root certificates if it has them, serve as anchors.
  anchors="$work/anchors.pem"
  cat "$work/embedded.pem" /etc/ssl/certs/ca-certificates.crt \
    >"$anchors" 2>/dev/null || true
  verify_against "$anchors"
  verified=$?
  digest() {  # the report's line "$1 message digest : HEX"
    sed -n "s/^$1 message digest *: *\([0-9A-Fa-f]*\).*/\1/p" \
      "$work/report" | head -n 1
  }
  current=$(digest Current)
  calculated=$(digest Calculated)
  if [ -n "$current" ] && [ "$current" = "$calculated" ] &&
    [ $verified -eq 0 ]; then
    ok "signature intact: the file is what was signed (digest $current)"
  elif [ -n "$current" ] && [ "$current" != "$calculated" ]; then
    bad "signature intact: the file changed after it was signed" \
      "(signed digest $current, the file's $calculated)"
  else
    bad "signature intact: osslsigncode could not check it:"
    sed 's/^/     /' "$work/report"
  fi
  if [ -n "${VERIFY_CA:-}" ]; then
    if [ ! -f "$VERIFY_CA" ]; then
      bad "trusted: VERIFY_CA names no file: $VERIFY_CA"
    elif verify_against "$VERIFY_CA"; then
      ok "trusted: the signer chains to VERIFY_CA ($VERIFY_CA)"
    else
      bad "trusted: the signer does not chain to VERIFY_CA ($VERIFY_CA)"
    fi
  else
    echo "     trusted: not checked (set VERIFY_CA to a CA certificate)"
  fi
  osslsigncode remove-signature -in "$file" -out "$work/unsigned.exe" \
    >/dev/null 2>&1 || bad "the signature could not be removed"
fi

if [ -f "$work/unsigned.exe" ] && cmp -s "$work/unsigned.exe" "$release"; then
  ok "same build: without its signature, byte for byte the release built" \
    "from this checkout (SHA-256 $(sha "$release"))"
else
  bad "same build: without its signature it is not the release built from" \
    "this checkout ($(sha "$work/unsigned.exe" 2>/dev/null || echo none)," \
    "the release $(sha "$release"))"
fi
[ $failed -eq 0 ] && echo "verified" || echo "NOT verified"
exit $failed
