#!/usr/bin/env bash
# The release signed and checked, by the project's own scripts, with
# throwaway keys and the osslsigncode on PATH. Signing: the build of a
# clean checkout's HEAD signs from each kind of key, with and without a
# time stamp, and anything else is refused; no process and no trace sees
# the password. Verifying: the genuine files verify, and each tampered copy
# an attacker could make does not, nor do other signers. Leaves
# WORK/dist/signed/updater.exe for the binary checks and Wine.
#
#   sign_verify.sh WORK RELEASE_BUILD_DIR OTHER_BUILD_EXE [ANOTHER_WORK]
#
# RELEASE_BUILD_DIR must be the build of this source tree. ANOTHER_WORK:
# where a run with another osslsigncode left its signed files and keys,
# which this one must verify too.
set -uo pipefail
work=$1
build=$2
other=$3
another=${4:-}
top=$(cd "$(dirname "$0")/../.." && pwd)
release=$build/bin/updater.exe
python=/usr/bin/python3
failed=0
echo "with $(osslsigncode --version 2>&1 | sed -n '1s/, using:$//p')"

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
# absent NAME PATH: nothing is at PATH.
absent() {
  [ ! -e "$2" ] && echo "ok   $1" ||
    { echo "FAIL $1: $2 is there"; failed=1; }
}

rm -rf "$work"
umask 077
keys=$work/keys
files=$work/files
mkdir -p "$keys" "$files"

# Throwaway keys: the vendor's CA and its code-signing certificate; a
# stranger's; a look-alike with the vendor's very names under another CA;
# a time-stamping authority; a web server's certificate from the vendor's
# CA; an attacker's CA named like the vendor's but for case, and under it
# a certificate with the vendor CA's name and the vendor's serial number;
# a self-made "Vendor Root" with data in an extension. Passwords live in
# files, never on a command line.
ca() {  # NAME SUBJECT [EXTENSION]
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$2" \
    -addext basicConstraints=critical,CA:TRUE \
    -addext keyUsage=critical,keyCertSign ${3:+-addext "$3"} \
    -keyout "$keys/$1.key" -out "$keys/$1.pem" 2>/dev/null
  openssl x509 -in "$keys/$1.pem" -outform DER -out "$keys/$1.der"
}
leaf() {  # NAME SUBJECT CA EXTENDED_KEY_USAGE [SERIAL]
  openssl req -new -newkey rsa:2048 -nodes -subj "/CN=$2" \
    -keyout "$keys/$1.key" -out "$keys/$1.csr" 2>/dev/null
  printf 'keyUsage=critical,digitalSignature\nextendedKeyUsage=critical,%s\n' \
    "$4" >"$keys/$1.ext"
  openssl x509 -req -in "$keys/$1.csr" -CA "$keys/$3.pem" \
    -CAkey "$keys/$3.key" -days 2 -extfile "$keys/$1.ext" \
    ${5:+-set_serial "$5"} -out "$keys/$1.pem" 2>/dev/null
  openssl x509 -in "$keys/$1.pem" -outform DER -out "$keys/$1.der"
  cat "$keys/$1.pem" "$keys/$3.pem" >"$keys/$1-chain.pem"
}
ca vendor-ca "Vendor Root"
leaf vendor "Vendor Ltd" vendor-ca codeSigning
ca stranger-ca "Stranger Root"
leaf stranger "Stranger" stranger-ca codeSigning
ca lookalike-ca "Vendor Root"
leaf lookalike "Vendor Ltd" lookalike-ca codeSigning
ca tsa-ca "Time Root"
leaf tsa "Time Authority" tsa-ca timeStamping
leaf web "Vendor Ltd" vendor-ca serverAuth
ca evil-ca "vendor root"
leaf evil "Vendor Root" evil-ca codeSigning \
  "0x$(openssl x509 -in "$keys/vendor.pem" -noout -serial | cut -d= -f2)"
ca fake-root "Vendor Root" "nsComment=$(printf 'hidden data %.0s' {1..27})"
# A machine that trusts the stranger's CA, as machines trust public CAs.
mkdir "$keys/machine"
cp "$keys/stranger-ca.pem" "$keys/machine/"
openssl rehash "$keys/machine" 2>/dev/null
printf 'correct horse\n' >"$keys/p12-password"
printf 'battery staple\n' >"$keys/key-password"
printf 'wrong\n' >"$keys/wrong-password"
openssl pkcs12 -export -inkey "$keys/vendor.key" -in "$keys/vendor.pem" \
  -certfile "$keys/vendor-ca.pem" -out "$keys/vendor.p12" \
  -passout file:"$keys/p12-password"
openssl pkey -in "$keys/vendor.key" -aes256 \
  -passout file:"$keys/key-password" -out "$keys/vendor-encrypted.key"
vendor_sha=$(sha256sum "$keys/vendor.der" | cut -d' ' -f1)

# A time-stamping authority on this machine, for SIGN_TIMESTAMP_URL.
cat >"$keys/tsa.cnf" <<EOF
[ tsa ]
default_tsa = throwaway
[ throwaway ]
serial = $keys/tsa-serial
crypto_device = builtin
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
ess_cert_id_alg = sha256
ess_cert_id_chain = no
EOF
echo 01 >"$keys/tsa-serial"
"$python" "$top/tests/release/tsa_server.py" "$keys/tsa.cnf" \
  "$keys/tsa.pem" "$keys/tsa.key" "$keys/tsa-ca.pem" "$work/tsa-port" &
tsa_server=$!
trap 'kill $tsa_server 2>/dev/null' EXIT
for _ in $(seq 50); do [ -s "$work/tsa-port" ] && break; sleep 0.2; done

# The committed sources: this tree's files as a commit of their own, which
# the build folder was built from; and copies of it with more than the
# commit in them.
commit() { git -C "$1" -c user.name=test -c user.email=test@invalid \
  commit --quiet --allow-empty "${@:2}" -m release; }
mkdir "$work/checkout"
(cd "$top" && git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
  tar --null -T - -cf -) | tar -x -C "$work/checkout"
git init --quiet "$work/checkout"
git -C "$work/checkout" add -A
commit "$work/checkout"
copy() {  # NAME: a clone of the checkout
  git clone --quiet "$work/checkout" "$work/$1"
}
copy untracked && touch "$work/untracked/not-committed.cpp"
copy skip-worktree &&
  git -C "$work/skip-worktree" update-index --skip-worktree \
    updater/updater.cpp &&
  echo '// changed' >>"$work/skip-worktree/updater/updater.cpp"
copy assume-unchanged &&
  git -C "$work/assume-unchanged" update-index --assume-unchanged \
    updater/updater.cpp &&
  echo '// changed' >>"$work/assume-unchanged/updater/updater.cpp"
copy excluded && echo hidden.h >>"$work/excluded/.git/info/exclude" &&
  touch "$work/excluded/updater/hidden.h"
# Only build/ and dist/ themselves are the build's output: not a file
# whose name begins the same way.
copy excluded-builder &&
  echo builder.h >>"$work/excluded-builder/.git/info/exclude" &&
  touch "$work/excluded-builder/builder.h"
copy built && mkdir "$work/built/build" "$work/built/dist" &&
  touch "$work/built/build/updater.exe" "$work/built/dist/updater.exe"

# The release laid out as ./run release does; another build laid out the
# same way, over it, and its SHA256SUMS rewritten (as one who can write
# build/ and dist/ would plant it); another build put in place alone.
"$top/release/make_dist.sh" "$build" "$work/dist" >/dev/null
"$top/release/make_dist.sh" "$build" "$work/planted" >/dev/null
cp "$other" "$work/planted/updater.exe"
(cd "$work/planted" && sha256sum updater.exe $(find include lib -type f |
  LC_ALL=C sort) >SHA256SUMS)
"$top/release/make_dist.sh" "$build" "$work/swapped" >/dev/null
cp "$other" "$work/swapped/updater.exe"
"$top/release/make_dist.sh" "$build" "$work/dist-timestamped" >/dev/null

sign() {  # DIST [CHECKOUT]: release/sign.sh, the key from the environment
  "$top/release/sign.sh" "$1" "${2:-$work/checkout}"
}
verify() { "$top/release/verify.sh" "$1" "$release"; }
signed=$work/dist/signed/updater.exe
pkcs12=$keys/vendor.p12

echo "--- signing"
SIGN_CERT=$keys/vendor-chain.pem SIGN_KEY=$keys/vendor-encrypted.key \
  SIGN_PASSWORD_FILE=$keys/key-password expect \
  "a certificate chain and an encrypted key sign, the password from a file" \
  0 "^signed: " sign "$work/dist"
VERIFY_CA=$keys/vendor-ca.pem expect "... and the file verifies" \
  0 "^verified$" verify "$signed"
SIGN_PKCS12=$pkcs12 SIGN_PASSWORD_FILE=$keys/p12-password \
  SIGN_TIMESTAMP_URL=http://127.0.0.1:$(cat "$work/tsa-port")/ \
  VERIFY_TSA_CA=$keys/tsa-ca.pem expect \
  "a PKCS#12 file signs with a time stamp from SIGN_TIMESTAMP_URL" \
  0 "^signed: " sign "$work/dist-timestamped"
cp "$work/dist-timestamped/signed/updater.exe" "$files/timestamped.exe"

# A spy in front of the tools that sign.sh starts records, for each, the
# password in its environment and the descriptors it inherited beyond those
# this script was given; bash -x traces sign.sh itself.
spy=$work/spy
mkdir -p "$spy"
ls /proc/$$/fd >"$spy/given"
for tool in osslsigncode openssl git cmake tar; do
  cat >"$spy/$tool" <<EOF
#!/bin/bash
ls /proc/\$\$/fd >"$spy/fd.\$\$"
line="$tool \${1:-}:"
[ -z "\${SIGN_PASSWORD+set}" ] || line+=" SIGN_PASSWORD"
for fd in \$(grep -vxFf "$spy/given" "$spy/fd.\$\$"); do line+=" fd\$fd"; done
echo "\$line" >>"$spy/log"
PATH=\${PATH#$spy:} exec $tool "\$@"
EOF
  chmod +x "$spy/$tool"
done
traced() {  # the signing under the spy and bash -x, the trace kept
  PATH=$spy:$PATH bash -x "$top/release/sign.sh" "$work/dist" \
    "$work/checkout" 2>>"$work/trace"
}
traced_through_descriptor() {  # the password on descriptor 3, as ./run does
  SIGN_PASSWORD_FILE=/dev/fd/3 traced 3<"$keys/p12-password"
}
SIGN_PASSWORD=$(<"$keys/p12-password") SIGN_PKCS12=$pkcs12 expect \
  "a PKCS#12 file signs, the password in SIGN_PASSWORD" \
  0 "^signed: .* $vendor_sha " traced
SIGN_PKCS12=$pkcs12 expect \
  "a PKCS#12 file signs, the password on a descriptor as ./run hands it" \
  0 "^signed: " traced_through_descriptor
leaks() {  # every process that got the password, but the two that need it
  grep -q '^osslsigncode sign:' "$spy/log" && grep -q '^cmake' "$spy/log" ||
    return 1
  ! grep -E 'SIGN_PASSWORD| fd' "$spy/log" |
    grep -vxE '(osslsigncode sign|openssl pkcs12): fd3'
}
expect "no process gets the password but osslsigncode sign and openssl pkcs12" \
  0 "" leaks
expect "bash -x prints no password" 0 "" \
  bash -c "grep -q 'osslsigncode sign' '$work/trace' &&
    ! grep 'correct horse' '$work/trace'"

SIGN_PKCS12=$pkcs12 SIGN_PASSWORD_FILE=$keys/wrong-password expect \
  "a wrong password fails" 1 "Wrong password" sign "$work/dist"
absent "... and leaves no dist/signed/" "$work/dist/signed"
# osslsigncode 2.5 will not sign with a web server's certificate; 2.9 signs,
# and the verification that follows refuses it.
SIGN_CERT=$keys/web-chain.pem SIGN_KEY=$keys/web.key expect \
  "a certificate not for code signing is refused" 1 "^sign: " \
  sign "$work/dist"
absent "... and leaves no dist/signed/" "$work/dist/signed"
SIGN_PKCS12=$keys/nothing.p12 expect "a missing key file is named" \
  1 "SIGN_PKCS12 names no file" sign "$work/dist"
expect "no key at all is explained" 1 "no key: set SIGN_PKCS12" \
  sign "$work/dist"
cp "$pkcs12" "$keys/readable.p12"
chmod go+r "$keys/readable.p12"
SIGN_PKCS12=$keys/readable.p12 SIGN_PASSWORD_FILE=$keys/p12-password expect \
  "a key file that others can read is refused" \
  1 "SIGN_PKCS12 names a file that others can read" sign "$work/dist"
cp "$keys/p12-password" "$keys/readable-password"
chmod go+r "$keys/readable-password"
SIGN_PKCS12=$pkcs12 SIGN_PASSWORD_FILE=$keys/readable-password expect \
  "a password file that others can read is refused" \
  1 "SIGN_PASSWORD_FILE names a file that others can read" sign "$work/dist"
cp "$pkcs12" "$keys/foreign.p12"
cp "$keys/p12-password" "$keys/foreign-password"
if chown 65534 "$keys/foreign.p12" "$keys/foreign-password" 2>/dev/null; then
  SIGN_PKCS12=$keys/foreign.p12 SIGN_PASSWORD_FILE=$keys/p12-password expect \
    "a key file that another user owns is refused, unreadable to others too" \
    1 "SIGN_PKCS12 names a file that another user owns" sign "$work/dist"
  SIGN_PKCS12=$pkcs12 SIGN_PASSWORD_FILE=$keys/foreign-password expect \
    "a password file that another user owns is refused" \
    1 "SIGN_PASSWORD_FILE names a file that another user owns" \
    sign "$work/dist"
else
  echo "skip files that another user owns: only root can make them"
fi
SIGN_PKCS11_MODULE=$keys/vendor.pem SIGN_CERT=$keys/vendor-chain.pem \
  SIGN_PKCS11_KEY='pkcs11:object=signer;type=private?pin-value=1234' expect \
  "a PKCS#11 URI that carries its PIN is refused" \
  1 "SIGN_PKCS11_KEY carries the PIN" sign "$work/dist"
export SIGN_PKCS12=$pkcs12 SIGN_PASSWORD_FILE=$keys/p12-password
expect "another build put in place of the release is refused" \
  1 "does not match .*SHA256SUMS" sign "$work/swapped"
expect "another build planted over build/ and dist/, SHA256SUMS rewritten" \
  1 "is not the release built from commit" sign "$work/planted"
expect "a checkout with an untracked file is refused" \
  1 "holds more than its commit" sign "$work/dist" "$work/untracked"
expect "a change hidden from git status by skip-worktree is refused" \
  1 "holds more than its commit" sign "$work/dist" "$work/skip-worktree"
expect "a change hidden from git status by assume-unchanged is refused" \
  1 "holds more than its commit" sign "$work/dist" "$work/assume-unchanged"
expect "a file hidden from git status by .git/info/exclude is refused" \
  1 "holds more than its commit" sign "$work/dist" "$work/excluded"
expect "an excluded file whose name only begins with build is refused" \
  1 "^!! builder\.h$" sign "$work/dist" "$work/excluded-builder"
expect "the build's own output in build/ and dist/ is not reported" \
  0 "^$" "$top/release/uncommitted.sh" "$work/built"
expect "a folder that is no git checkout is refused" \
  1 "is not a git checkout" sign "$work/dist" "$keys"
# A machine without ca-certificates, its CA bundle hidden by a mount
# namespace of the signing's own: osslsigncode attach-signature wants a CA
# file, and would write nothing without one.
without_ca_bundle() {
  mkdir -p "$work/no-certs"
  unshare --mount sh -c 'mount --bind "$0" /etc/ssl/certs && exec "$@"' \
    "$work/no-certs" "$@"
}
if without_ca_bundle test ! -e /etc/ssl/certs/ca-certificates.crt \
  2>/dev/null; then
  expect "the release signs on a machine without the system CA bundle" \
    0 "^signed: " without_ca_bundle "$top/release/sign.sh" "$work/dist" \
    "$work/checkout"
else
  echo "skip signing without the system CA bundle: no mount namespace here"
fi
# Last, the genuine file that the table and Wine take.
expect "the release signs again" 0 "^signed: " sign "$work/dist"
unset SIGN_PKCS12 SIGN_PASSWORD_FILE
expect "the unsigned release is kept as it was" 0 "updater.exe: OK" \
  bash -c "cd '$work/dist' && sha256sum -c SHA256SUMS"
cp "$signed" "$files/genuine.exe"

echo "--- tampered copies, built with osslsigncode and tamper.py"
tamper() {  # KIND IN OUT [ARGUMENT...], IN and OUT in files/
  "$python" "$top/tests/release/tamper.py" "$1" "$files/$2" "$files/$3" \
    "${@:4}"
}
osslsign() {  # NAME IN OUT [OPTION...]: osslsigncode sign with NAME's key
  local name=$1 in=$2 out=$3
  shift 3
  osslsigncode sign -certs "$keys/$name-chain.pem" -key "$keys/$name.key" \
    -h sha256 "$@" -in "$in" -out "$out" >/dev/null
}
genuine=$files/genuine.exe
cp "$work/dist/updater.exe" "$files/unsigned.exe"
{ cat "$genuine"; printf 'appended payload'; } >"$files/appended.exe"
osslsigncode add -addUnauthenticatedBlob -in "$genuine" \
  -out "$files/blob.exe" >/dev/null
osslsign stranger "$genuine" "$files/nested.exe" -nest
osslsign stranger "$release" "$files/stranger.exe"
osslsign vendor "$files/stranger.exe" "$files/stranger-primary.exe" -nest
osslsigncode remove-signature -in "$genuine" -out "$files/removed.exe" \
  >/dev/null
osslsign stranger "$files/removed.exe" "$files/resigned.exe"
osslsign lookalike "$release" "$files/lookalike.exe"
cp "$genuine" "$files/code-changed.exe"
# One byte of code: .text starts at 0x400 in this image.
printf '\xcc' | dd of="$files/code-changed.exe" bs=1 seek=$((0x600)) \
  conv=notrunc 2>/dev/null
osslsign vendor "$other" "$files/other-build.exe"
mkdir -p "$work/other-facts"
"$python" "$top/release/authenticode.py" facts "$files/other-build.exe" \
  "$work/other-facts" >/dev/null
osslsigncode attach-signature -sigin "$work/other-facts/signature.pem" \
  -CAfile "$work/other-facts/chain.pem" -in "$release" \
  -out "$files/moved-signature.exe" >/dev/null 2>&1
# Another key's signature made to name the vendor's certificate: the
# signer's issuer and serial number the vendor's, the certificates the
# attacker's (with the vendor CA's name and the vendor's serial, under a
# CA named like the vendor's but for case) and then the vendor's.
osslsign evil "$release" "$files/evil.exe"
tamper signer-names evil.exe evil-names.exe "$keys/vendor.der"
tamper certificates evil-names.exe confused.exe "$keys/evil.der" \
  "$keys/vendor.der"
tamper pad genuine.exe padded.exe
tamper checksum genuine.exe checksum.exe
tamper revision genuine.exe revision.exe
tamper two-entries genuine.exe two-entries.exe
tamper version genuine.exe version.exe
tamper signer-version genuine.exe signer-version.exe
tamper digest-algorithms genuine.exe digest-algorithms.exe
tamper signer-digest-parameters genuine.exe signer-digest-parameters.exe
tamper signature-parameters genuine.exe signature-parameters.exe
tamper indefinite genuine.exe indefinite.exe
tamper long-null genuine.exe long-null.exe
tamper second-signer genuine.exe second-signer.exe
tamper certificates-reversed genuine.exe certificates-reversed.exe
tamper certificates-without-root genuine.exe certificates-without-root.exe
tamper certificates-twice genuine.exe certificates-twice.exe
tamper root-signature genuine.exe root-signature.exe
tamper certificates genuine.exe fake-root.exe "$keys/vendor.der" \
  "$keys/fake-root.der"
tamper certificates-plus genuine.exe stray-certificate.exe \
  "$keys/stranger.der"
# Attributes, each a DER SEQUENCE of its type and an empty SET of values;
# a counter-signature's type with an empty one inside.
tamper unsigned genuine.exe empty-nested.exe \
  300e060a2b0601040182370204013100
tamper unsigned genuine.exe empty-timestamp.exe \
  300e060a2b0601040182370303013100
tamper unsigned genuine.exe counter-signature.exe \
  300f06092a864886f70d01090631023000
tamper token-certificates-plus timestamped.exe token-certificates.exe \
  "$keys/stranger.der"
tamper token-unsigned timestamped.exe token-unsigned.exe
tamper token-signature-parameters timestamped.exe token-parameters.exe

echo "--- verifying"
# name | exit | a line it prints | file | pins: ca = VERIFY_CA (the
# vendor's CA), leaf = VERIFY_SIGNER_SHA256 (the vendor's certificate),
# tsa = VERIFY_TSA_CA (the throwaway authority's CA), machine = a machine
# whose CA folder trusts the stranger's CA (SSL_CERT_DIR)
while IFS='|' read -r name code pattern file pins; do
  (
    for pin in $pins; do
      case $pin in
        ca) export VERIFY_CA=$keys/vendor-ca.pem ;;
        leaf) export VERIFY_SIGNER_SHA256=$vendor_sha ;;
        tsa) export VERIFY_TSA_CA=$keys/tsa-ca.pem ;;
        machine) export SSL_CERT_DIR=$keys/machine ;;
      esac
    done
    expect "$name" "$code" "$pattern" verify "$files/$file" </dev/null
    exit $failed
  ) || failed=1
done <<'TABLE'
the genuine file, pinned by the vendor's CA|0|^verified$|genuine.exe|ca
the genuine file, pinned by the vendor's certificate|0|^verified$|genuine.exe|leaf
the genuine file with no pin: found, not verified|3|^NOT verified: the signer was not checked$|genuine.exe|
a time stamp by the authority VERIFY_TSA_CA names|0|^verified$|timestamped.exe|ca leaf tsa
a time stamp by an authority nobody trusts|1|^FAIL time stamp|timestamped.exe|ca leaf
data hidden inside the certificate table, lengths and checksum fixed|1|^FAIL signed: .* bytes follow the signature|padded.exe|ca leaf
a changed checksum|1|^FAIL same build|checksum.exe|ca leaf
bytes appended after the certificate table|1|^FAIL signed: its certificate table is not the file's last bytes|appended.exe|ca leaf
the table's entry of revision 1.0|1|^FAIL signed: .*revision 0x100|revision.exe|ca leaf
two entries in the certificate table|1|^FAIL signed: its certificate table holds|two-entries.exe|ca leaf
an unsigned file|1|^FAIL signed: .* carries no Authenticode signature|unsigned.exe|ca leaf
the signed data's version, a long INTEGER carrying data|1|^FAIL well-formed: its signed data's version|version.exe|ca leaf
the signer's version, a long INTEGER carrying data|1|^FAIL well-formed: its signer's version|signer-version.exe|ca leaf
data for parameters of the digest algorithms' SHA-256|1|^FAIL well-formed: its digest algorithm's parameters|digest-algorithms.exe|ca leaf
data for parameters of the signer's digest algorithm|1|^FAIL well-formed: its signer's digest algorithm's parameters|signer-digest-parameters.exe|ca leaf
data for parameters of the signature algorithm|1|^FAIL well-formed: its signature algorithm's parameters|signature-parameters.exe|ca leaf
a BER indefinite length|1|^FAIL well-formed: .*indefinite length|indefinite.exe|ca leaf
a NULL's length in two octets, in a certificate's algorithm outside its signature|1|^FAIL well-formed: .*a length in more octets than DER's|long-null.exe|ca leaf
an unauthenticated blob added to the signature|1|^FAIL nothing unsigned beside it: unsigned attribute|blob.exe|ca leaf
an empty time stamp attribute|1|^FAIL nothing unsigned beside it: unsigned attribute .* with 0 values|empty-timestamp.exe|ca leaf
a counter-signature attribute|1|^FAIL nothing unsigned beside it: unsigned attribute .*counter-signature|counter-signature.exe|ca leaf
a second signature, by another key, nested in the vendor's|1|^FAIL one signature: a nested signature|nested.exe|ca leaf
an empty nested-signature attribute|1|^FAIL one signature: a nested signature \(0 values\)|empty-nested.exe|ca leaf
a second signer beside the vendor's|1|^FAIL one signature: 2 signers|second-signer.exe|ca leaf
another key's primary signature, the vendor's nested under it: CA pin|1|^FAIL trusted|stranger-primary.exe|ca
another key's primary signature, the vendor's nested under it: certificate pin|1|^FAIL pinned|stranger-primary.exe|leaf
the certificates in another order|1|^FAIL certificates: .*not in DER order|certificates-reversed.exe|ca leaf
the certificates without the CA|1|^FAIL certificates: the signer's chain stops at|certificates-without-root.exe|ca leaf
the certificates twice over|1|^FAIL certificates: .*one certificate twice|certificates-twice.exe|ca leaf
the CA's signature changed, so that it is not its own|1|^FAIL certificates: the signer's chain stops at|root-signature.exe|ca leaf
the CA replaced by a self-made one of its name, with data in an extension|1|^FAIL certificates: .*a certificate outside the signer's chain|fake-root.exe|ca leaf
a stray certificate beside the chain|1|^FAIL certificates: .*a certificate outside the signer's chain|stray-certificate.exe|ca leaf
another key's signature naming the vendor's certificate, listed after a look-alike: CA pin|1|^FAIL signature intact: the signer's certificate's key did not make|confused.exe|ca
another key's signature naming the vendor's certificate, listed after a look-alike: certificate pin|1|^FAIL signature intact: the signer's certificate's key did not make|confused.exe|leaf
a certificate added to the time stamp's|1|^FAIL time stamp: .*a certificate outside the authority's chain|token-certificates.exe|ca leaf tsa
an unsigned attribute on the time stamp's signer|1|^FAIL time stamp: its signer has unsigned attributes|token-unsigned.exe|ca leaf tsa
data for parameters of the time stamp's signature algorithm|1|^FAIL time stamp: its .* algorithm's parameters carry data|token-parameters.exe|ca leaf tsa
re-signed by another key|1|^FAIL trusted|resigned.exe|ca
another key whose CA the machine trusts, VERIFY_CA the vendor's|1|^FAIL trusted|stranger.exe|ca machine
the vendor's names under another CA: CA pin|1|^FAIL trusted|lookalike.exe|ca
the vendor's names under another CA: certificate pin|1|^FAIL pinned|lookalike.exe|leaf
one byte of code changed|1|^FAIL signature intact: the file's digest is not the signed one|code-changed.exe|ca leaf
the vendor's signature over another build|1|^FAIL same build|other-build.exe|ca leaf
the vendor's signature of another build moved onto this one|1|^FAIL signature intact: the file's digest is not the signed one|moved-signature.exe|ca leaf
TABLE
# Without a time stamp there is none to speak of: no line does.
said_of_unstamped() {
  local said
  said=$(VERIFY_CA=$keys/vendor-ca.pem verify "$genuine")
  echo "$said"
  ! grep -qi "time stamp" <<<"$said"
}
expect "the genuine file without a time stamp: verified, no word of one" \
  0 "^verified$" said_of_unstamped
VERIFY_SIGNER_SHA256=not-a-digest expect "a malformed pin is a usage error" \
  2 "VERIFY_SIGNER_SHA256 is not a SHA-256" verify "$genuine"
VERIFY_CA=$keys/nothing.pem expect "a CA file that is not there is a usage error" \
  2 "VERIFY_CA names no file" verify "$genuine"
if [ -n "$another" ]; then
  VERIFY_CA=$another/keys/vendor-ca.pem expect \
    "the release signed with $(cat "$another/osslsigncode") verifies" \
    0 "^verified$" verify "$another/files/genuine.exe"
  VERIFY_CA=$another/keys/vendor-ca.pem \
    VERIFY_TSA_CA=$another/keys/tsa-ca.pem expect \
    "... and time-stamped, too" \
    0 "^verified$" verify "$another/files/timestamped.exe"
fi
osslsigncode --version 2>&1 | sed -n '1s/, using:$//p' >"$work/osslsigncode"
exit $failed
