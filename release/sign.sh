#!/usr/bin/env bash
# Signs the release's updater.exe with Authenticode (SHA-256) through
# osslsigncode, and keeps the unsigned file as it is. It signs the release
# only: DIST_DIR/updater.exe as DIST_DIR/SHA256SUMS lists it, byte for byte
# the build of CHECKOUT's HEAD commit, which this script makes itself, from
# the commit's own files (git archive) in a fresh folder, so that nothing
# left in build/ or dist/ counts; and only from a CHECKOUT with nothing but
# that commit in it. Then it verifies what it wrote, pinned to its own
# signer's certificate, and keeps nothing if that fails.
#
#   sign.sh DIST_DIR CHECKOUT
#       writes DIST_DIR/signed/updater.exe and its SHA256SUMS
#
# The key, named by the environment (secrets never go on a command line):
#   SIGN_PKCS12=signer.p12                   a PKCS#12 file: key and certificates
#   SIGN_CERT=chain.pem SIGN_KEY=key.pem     the certificate chain and its key
#   SIGN_PKCS11_MODULE=/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so
#   SIGN_PKCS11_KEY='pkcs11:object=...' SIGN_CERT=chain.pem
#                                            a hardware token's key (through
#                                            OpenSSL's PKCS#11 engine; set
#                                            SIGN_PKCS11_ENGINE to its .so if
#                                            OpenSSL does not find it); a URI
#                                            with its PIN (pin-value=) is
#                                            refused: it would go on the
#                                            command line
# The certificates must be the signer's whole chain, up to its self-signed
# root: release/verify.sh accepts that one form.
# Its password or PIN, if it has one: SIGN_PASSWORD_FILE=file (its first
# line; a descriptor, /dev/fd/N, too), or SIGN_PASSWORD. It is read once,
# taken out of the environment before any other process starts, and handed
# to osslsigncode (and to openssl, for a PKCS#12 file's certificates)
# through a pipe of their own. It is only ever read into a variable and
# written into those pipes, never expanded where bash -x would print it. A
# key or password file that another user owns, or that others can read, is
# refused.
# SIGN_TIMESTAMP_URL=https://... an RFC 3161 time-stamping server, so that
# the signature stays valid after the certificate expires (optional; it
# needs the network). Its authority must chain to VERIFY_TSA_CA, or to the
# machine's CA bundle, as release/verify.sh checks.
set -euo pipefail
fail() {
  echo "sign: $*" >&2
  exit 1
}
# The password first, with shell builtins alone, so that no process started
# here inherits it: out of the environment, and a descriptor handed over for
# it (SIGN_PASSWORD_FILE=/dev/fd/N, as ./run passes it) read and closed.
# `read` from a here-string: a trace shows the command, not the value.
have_password=${SIGN_PASSWORD+set}
IFS= read -r password <<<"${SIGN_PASSWORD-}" || true
unset SIGN_PASSWORD
if [[ ${SIGN_PASSWORD_FILE:-} =~ ^/dev/fd/([0-9]+)$ ]]; then
  [ -e "$SIGN_PASSWORD_FILE" ] || fail "SIGN_PASSWORD_FILE is not open"
  IFS= read -r password <"$SIGN_PASSWORD_FILE" || true
  eval "exec ${BASH_REMATCH[1]}<&-"
  have_password="set"
  unset SIGN_PASSWORD_FILE
fi

[ $# -eq 2 ] || { echo "usage: sign.sh DIST_DIR CHECKOUT" >&2; exit 2; }
dist=$1
checkout=$2
here=$(cd "$(dirname "$0")" && pwd)
need_file() {  # VARIABLE: the file it names must exist
  [ -n "${!1:-}" ] || fail "$1 is not set"
  [ -f "${!1}" ] || fail "$1 names no file: ${!1}"
}
private_file() {  # VARIABLE: ... be this user's own, and no one else's to read
  need_file "$1"
  [ "$(stat -L -c %u "${!1}")" = "$(id -u)" ] ||
    fail "$1 names a file that another user owns: ${!1} (a secret is its" \
      "user's own file)"
  [ $((8#$(stat -L -c %a "${!1}") & 8#044)) -eq 0 ] ||
    fail "$1 names a file that others can read: ${!1} (chmod go-rwx it)"
}

if [ -n "${SIGN_PKCS12:-}" ]; then
  private_file SIGN_PKCS12
  key=(-pkcs12 "$SIGN_PKCS12")
elif [ -n "${SIGN_PKCS11_MODULE:-}" ]; then
  need_file SIGN_PKCS11_MODULE
  need_file SIGN_CERT
  [ -n "${SIGN_PKCS11_KEY:-}" ] || fail "SIGN_PKCS11_KEY is not set"
  [[ ${SIGN_PKCS11_KEY,,} != *pin-value=* ]] ||
    fail "SIGN_PKCS11_KEY carries the PIN (pin-value=), which would go on" \
      "osslsigncode's command line: take it out, and give the PIN in" \
      "SIGN_PASSWORD_FILE"
  key=(-pkcs11module "$SIGN_PKCS11_MODULE" -certs "$SIGN_CERT"
       -key "$SIGN_PKCS11_KEY")
  if [ -n "${SIGN_PKCS11_ENGINE:-}" ]; then
    need_file SIGN_PKCS11_ENGINE
    key=(-pkcs11engine "$SIGN_PKCS11_ENGINE" "${key[@]}")
  fi
elif [ -n "${SIGN_CERT:-}${SIGN_KEY:-}" ]; then
  need_file SIGN_CERT
  private_file SIGN_KEY
  key=(-certs "$SIGN_CERT" -key "$SIGN_KEY")
else
  fail "no key: set SIGN_PKCS12, SIGN_CERT and SIGN_KEY, or" \
    "SIGN_PKCS11_MODULE, SIGN_PKCS11_KEY and SIGN_CERT"
fi
if [ -n "${SIGN_PASSWORD_FILE:-}" ]; then
  private_file SIGN_PASSWORD_FILE
  IFS= read -r password <"$SIGN_PASSWORD_FILE" || true
  have_password="set"
fi
readpass=()
[ -z "$have_password" ] || readpass=(-readpass /dev/fd/3)
timestamp=()
[ -z "${SIGN_TIMESTAMP_URL:-}" ] || timestamp=(-ts "$SIGN_TIMESTAMP_URL")

# The release, and nothing else.
[ -f "$dist/updater.exe" ] || fail "no release to sign: $dist/updater.exe" \
  "is missing (./run release makes it)"
(cd "$dist" && grep ' updater\.exe$' SHA256SUMS 2>/dev/null |
  sha256sum --check --status 2>/dev/null) ||
  fail "$dist/updater.exe does not match $dist/SHA256SUMS: not the file" \
    "./run release laid out"
[ "$(git -C "$checkout" rev-parse --show-toplevel 2>/dev/null)" = \
  "$(cd "$checkout" && pwd -P)" ] &&
  commit=$(git -C "$checkout" rev-parse --verify --quiet HEAD) ||
  fail "$checkout is not a git checkout of a commit"
uncommitted=$("$here/uncommitted.sh" "$checkout")
[ -z "$uncommitted" ] ||
  fail "$checkout holds more than its commit $commit, and only the build" \
    "of a commit is signed:" $'\n'"$(head -n 5 <<<"$uncommitted")"

# Nothing is left in signed/ unless the whole signature was made and
# verified, not even an earlier signature that could pass for this one.
rm -rf "$dist/signed"
mkdir -p "$dist/signed"
work=$(mktemp -d "$dist/signed/.signing.XXXXXX")
fresh=$(mktemp -d)
trap 'rm -rf "$work" "$fresh"; rmdir "$dist/signed" 2>/dev/null || true' EXIT

# HEAD's release, built here from scratch: the commit's files alone, a
# configure and build of the updater in a folder of their own.
echo "building commit $commit afresh, to compare with $dist/updater.exe"
mkdir "$fresh/source"
git -C "$checkout" archive --format=tar HEAD | tar -x -C "$fresh/source"
if ! (cd "$fresh/source" && cmake --preset win32 &&
  cmake --build --preset win32 --target updater) >"$fresh/log" 2>&1; then
  sed 's/^/  build: /' "$fresh/log" | tail -n 20 >&2
  fail "commit $commit does not build"
fi
release=$fresh/source/build/win32/bin/updater.exe
cmp -s "$dist/updater.exe" "$release" ||
  fail "$dist/updater.exe is not the release built from commit $commit" \
    "(SHA-256 $(sha256sum "$release" | cut -d' ' -f1)): ./run release" \
    "lays it out again"

# The password goes through a pipe open in osslsigncode alone (a
# here-string: bash writes it into a pipe, not into a file).
if ! osslsigncode sign "${key[@]}" "${readpass[@]}" -h sha256 \
  "${timestamp[@]}" -in "$dist/updater.exe" -out "$work/osslsigncode.exe" \
  >"$work/log" 2>&1 3<<<"$password"; then
  sed 's/^/  osslsigncode: /' "$work/log" >&2
  fail "signing failed: a wrong password or PIN, a key that does not" \
    "match its certificate, or an unreachable time-stamping server;" \
    "nothing was written"
fi
# The signer's own certificates, as the key came with them.
if [ -n "${SIGN_PKCS12:-}" ]; then
  pkcs12_certificates() {
    openssl pkcs12 "$@" -in "$SIGN_PKCS12" -nokeys -passin fd:3 \
      -out "$work/own.pem" 3<<<"$password"
  }
  pkcs12_certificates 2>/dev/null || pkcs12_certificates -legacy ||
    fail "the certificates in SIGN_PKCS12 cannot be read"
else
  cp "$SIGN_CERT" "$work/own.pem"
fi

# The certificates in DER order, the one form release/verify.sh accepts:
# osslsigncode 2.5 and time-stamping authorities put the signer's first.
# They lie outside what the signatures cover, so the order is free.
/usr/bin/python3 "$here/authenticode.py" canonical "$work/osslsigncode.exe" \
  "$work/signature.pem"
# attach-signature checks what it attached against a CA file, the system
# bundle unless told, and writes nothing if it cannot open it (a machine
# without ca-certificates). Its check decides nothing here (verify.sh
# below does), so it is handed the signer's own chain, which is always
# there.
osslsigncode attach-signature -sigin "$work/signature.pem" \
  -CAfile "$work/own.pem" -in "$dist/updater.exe" -out "$work/updater.exe" \
  >"$work/log" 2>&1 || true
[ -f "$work/updater.exe" ] || {
  sed 's/^/  osslsigncode: /' "$work/log" >&2
  fail "osslsigncode attach-signature wrote no file, for the reason it" \
    "gives above, so the signature could not be put in DER order;" \
    "nothing was written"
}

# Its own signer: the certificate in the signature must be one of the
# shipper's own, and the signed file must verify pinned to it.
mkdir "$work/facts"
/usr/bin/python3 "$here/authenticode.py" facts "$work/updater.exe" \
  "$work/facts" >/dev/null
[ -f "$work/facts/leaf.pem" ] ||
  fail "the signature names no certificate of its own; nothing was written"
pin=$(openssl x509 -in "$work/facts/leaf.pem" -outform DER | sha256sum |
  cut -d' ' -f1)
/usr/bin/python3 "$here/authenticode.py" certificate-sha256 "$work/own.pem" |
  grep -x "$pin" >/dev/null ||
  fail "the signature's certificate (SHA-256 $pin) is none of the" \
    "signer's own; nothing was written"
if ! VERIFY_SIGNER_SHA256=$pin "$here/verify.sh" "$work/updater.exe" \
  "$release" >"$work/verify" 2>&1; then
  sed 's/^/  verify: /' "$work/verify" >&2
  fail "the signed file does not verify; nothing was written"
fi
mv "$work/updater.exe" "$dist/signed/updater.exe"
(cd "$dist/signed" && sha256sum updater.exe >SHA256SUMS)
echo "signed: $dist/signed/updater.exe, by the certificate with SHA-256" \
  "$pin (the unsigned release stays in $dist/updater.exe)"
