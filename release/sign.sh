#!/usr/bin/env bash
# Signs the release's updater.exe with Authenticode (SHA-256) through
# osslsigncode, and keeps the unsigned file as it is.
#
#   sign.sh DIST_DIR      writes DIST_DIR/signed/updater.exe and its SHA256SUMS
#
# The key, named by the environment (secrets never go on a command line):
#   SIGN_PKCS12=signer.p12                   a PKCS#12 file: key and certificates
#   SIGN_CERT=chain.pem SIGN_KEY=key.pem     the certificate chain and its key
#   SIGN_PKCS11_MODULE=/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so
#   SIGN_PKCS11_KEY='pkcs11:object=...' SIGN_CERT=chain.pem
#                                            a hardware token's key (through
#                                            OpenSSL's PKCS#11 engine; set
#                                            SIGN_PKCS11_ENGINE to its .so if
#                                            OpenSSL does not find it)
# Its password or PIN, if it has one: SIGN_PASSWORD_FILE=file (its first
# line), or SIGN_PASSWORD in the environment. osslsigncode reads it from a
# file (for SIGN_PASSWORD, a pipe), never from its arguments.
# SIGN_TIMESTAMP_URL=https://... an RFC 3161 time-stamping server, so that
# the signature stays valid after the certificate expires (optional; it
# needs the network).
set -euo pipefail
dist=$1
fail() {
  echo "sign: $*" >&2
  exit 1
}

[ -f "$dist/updater.exe" ] || fail "no release to sign: $dist/updater.exe" \
  "is missing (./run release makes it)"
need_file() {  # VARIABLE: the file it names must exist
  [ -n "${!1:-}" ] || fail "$1 is not set"
  [ -f "${!1}" ] || fail "$1 names no file: ${!1}"
}
if [ -n "${SIGN_PKCS12:-}" ]; then
  need_file SIGN_PKCS12
  key=(-pkcs12 "$SIGN_PKCS12")
elif [ -n "${SIGN_PKCS11_MODULE:-}" ]; then
  need_file SIGN_PKCS11_MODULE
  need_file SIGN_CERT
  [ -n "${SIGN_PKCS11_KEY:-}" ] || fail "SIGN_PKCS11_KEY is not set"
  key=(-pkcs11module "$SIGN_PKCS11_MODULE" -certs "$SIGN_CERT"
       -key "$SIGN_PKCS11_KEY")
  if [ -n "${SIGN_PKCS11_ENGINE:-}" ]; then
    need_file SIGN_PKCS11_ENGINE
    key=(-pkcs11engine "$SIGN_PKCS11_ENGINE" "${key[@]}")
  fi
elif [ -n "${SIGN_CERT:-}${SIGN_KEY:-}" ]; then
  need_file SIGN_CERT
  need_file SIGN_KEY
  key=(-certs "$SIGN_CERT" -key "$SIGN_KEY")
else
  fail "no key: set SIGN_PKCS12, SIGN_CERT and SIGN_KEY, or" \
    "SIGN_PKCS11_MODULE, SIGN_PKCS11_KEY and SIGN_CERT"
fi
password=()
if [ -n "${SIGN_PASSWORD_FILE:-}" ]; then
  need_file SIGN_PASSWORD_FILE
  password=(-readpass "$SIGN_PASSWORD_FILE")
elif [ -n "${SIGN_PASSWORD+set}" ]; then
  # Through a pipe that only osslsigncode reads: not in its arguments, not
  # on disk.
  exec 3< <(printf '%s' "$SIGN_PASSWORD")
  password=(-readpass /dev/fd/3)
fi
timestamp=()
[ -z "${SIGN_TIMESTAMP_URL:-}" ] || timestamp=(-ts "$SIGN_TIMESTAMP_URL")

# Nothing is left in signed/ unless the whole signature was made, not even
# an earlier signature that could pass for this one.
rm -rf "$dist/signed"
mkdir -p "$dist/signed"
work=$(mktemp -d "$dist/signed/.signing.XXXXXX")
trap 'rm -rf "$work"; rmdir "$dist/signed" 2>/dev/null || true' EXIT
if ! osslsigncode sign "${key[@]}" "${password[@]}" -h sha256 \
  "${timestamp[@]}" -in "$dist/updater.exe" -out "$work/updater.exe" \
  >"$work/log" 2>&1; then
  sed 's/^/  osslsigncode: /' "$work/log" >&2
  fail "signing failed: a wrong password or PIN, a key that does not" \
    "match its certificate, or an unreachable time-stamping server;" \
    "nothing was written"
fi
mv "$work/updater.exe" "$dist/signed/updater.exe"
(cd "$dist/signed" && sha256sum updater.exe > SHA256SUMS)
echo "signed: $dist/signed/updater.exe" \
  "(the unsigned release stays in $dist/updater.exe)"
