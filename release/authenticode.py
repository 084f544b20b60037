#!/usr/bin/python3
"""Reads the Authenticode signature of a PE file for release/verify.sh and
release/sign.sh, strictly: a genuine signature has one form, the one
osslsigncode writes in DER, and every byte that no signature covers is
either fixed by that form or checked by a signature here. What departs
from it is reported, never skipped over.

  authenticode.py facts FILE OUT_DIR
      prints one fact a line, "name value":
        signed 0|1          FILE has a certificate table
        problem CHECK TEXT  one way the signature departs from the genuine
                            form, CHECK naming the line of verify.sh that
                            fails: signed, form, one, unsigned,
                            certificates, timestamp, intact
        stop                the signature cannot be read far enough to
                            check the rest
        timestamps 0|1      it carries a time stamp
      and writes into OUT_DIR: signature.pem (the signature as the table
      holds it), signed-content.bin (what its signer's digest covers),
      signature-value.bin (what a time stamp covers), leaf.pem (the one
      certificate with the signer's issuer and serial number, byte for
      byte), chain.pem (the chain from it up, in that order), and with a
      time stamp timestamp.der and tsa-chain.pem (its authority's chain,
      the same way).
  authenticode.py canonical FILE OUT.pem
      FILE's signature with its certificates and its time stamp's in DER
      order, nothing else changed, as PEM for osslsigncode
      attach-signature. DER sorts a SET OF; osslsigncode 2.9 does,
      osslsigncode 2.5 and time-stamping authorities put the signer's
      certificate first.
  authenticode.py certificate-sha256 PEM_FILE
      prints the SHA-256 of each certificate's DER in PEM_FILE.

Exit status 1 and a message for a wrong call or a file that cannot be
read. The PE headers are read by pefile, the signature by asn1crypto's
CMS and X.509 types; what is written here is the policy: the one form,
and the checks no library makes. The cryptography is OpenSSL's (`openssl
verify`), with no trust store but the one certificate it is given.
"""
import hashlib
import struct
import subprocess
import sys

import pefile
from asn1crypto import algos, cms, core, parser, pem

SHA256 = "2.16.840.1.101.3.4.2.1"
RSA = "1.2.840.113549.1.1.1"
SIGNED_DATA = "1.2.840.113549.1.7.2"
SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
RFC3161_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1"
TST_INFO = "1.2.840.113549.1.9.16.1.4"
COUNTER_SIGNATURE = "1.2.840.113549.1.9.6"
NAMES = {
    SHA256: "SHA-256",
    "1.3.14.3.2.26": "SHA-1",
    "2.16.840.1.101.3.4.2.2": "SHA-384",
    "2.16.840.1.101.3.4.2.3": "SHA-512",
    "1.2.840.113549.2.5": "MD5",
    RSA: "RSA",
    "1.2.840.10045.4.3.2": "ECDSA",
    NESTED_SIGNATURE: f"{NESTED_SIGNATURE} (a nested signature)",
    RFC3161_TIMESTAMP: f"{RFC3161_TIMESTAMP} (a time stamp)",
    COUNTER_SIGNATURE: f"{COUNTER_SIGNATURE} (a counter-signature)",
}

SECURITY_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x200, 2


class Refused(Exception):
    """The signature departs from the genuine form so far that nothing
    after it can be checked: (the check it fails, why)."""


# --- the types asn1crypto reads the signature with -------------------------

class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm),
               ("digest", core.OctetString)]


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier),
               ("value", core.Any, {"optional": True})]


class SpcIndirectDataContent(core.Sequence):
    """Authenticode's content: what is signed (a PE image's data) and the
    file's digest."""
    _fields = [("data", SpcAttributeTypeAndOptionalValue),
               ("message_digest", DigestInfo)]


class SignedData(cms.SignedData):
    """PKCS#7's SignedData, its content a ContentInfo whatever the version
    says (asn1crypto reads CMS's OCTET STRING there from version 2 on): so
    a wrong version is reported as such, and a time stamp's TSTInfo stays
    the OCTET STRING its authority signed, as it came."""
    _fields = [("version", cms.CMSVersion),
               ("digest_algorithms", cms.DigestAlgorithms),
               ("encap_content_info", cms.ContentInfo),
               ("certificates", cms.CertificateSet,
                {"implicit": 0, "optional": True}),
               ("crls", cms.RevocationInfoChoices,
                {"implicit": 1, "optional": True}),
               ("signer_infos", cms.SignerInfos)]
    _spec_callbacks = None


cms.ContentInfo._oid_specs["signed_data"] = SignedData
cms.ContentInfo._oid_specs[SPC_INDIRECT_DATA] = SpcIndirectDataContent

# The AlgorithmIdentifiers as osslsigncode writes them: NULL parameters.
SHA256_ALGORITHM = algos.DigestAlgorithm(
    {"algorithm": SHA256, "parameters": core.Null()}).dump()
RSA_ALGORITHM = algos.SignedDigestAlgorithm(
    {"algorithm": RSA, "parameters": core.Null()}).dump()


def loaded(encoding, what):
    """encoding read as a ContentInfo; asn1crypto reads lazily, so a field
    it cannot read raises ValueError when first used (see main)."""
    try:
        return cms.ContentInfo.load(encoding, strict=True)
    except ValueError as error:
        raise Refused("form", f"{what} is not where, or what, PKCS#7 puts "
                      f"it ({first_line(error)})")


def first_line(error):
    return str(error).strip().splitlines()[0]


def present(value):
    """An optional field is there."""
    return not isinstance(value, core.Void)


# --- DER ------------------------------------------------------------------

def elements(contents):
    """The encodings of the elements one after another in contents."""
    at = 0
    while at < len(contents):
        _, _, _, header, body, trailer = parser.parse(contents[at:])
        end = at + len(header) + len(body) + len(trailer)
        yield contents[at:end]
        at = end


def der(encoding, what, at=0):
    """Refuses encoding unless it is one element in DER at every depth:
    each length in the fewest octets, a one-octet tag of the universal or
    the context class, SEQUENCEs and SETs constructed, a SET's elements in
    order, and every other universal type as asn1crypto encodes its value
    anew (minimal INTEGERs, FF for true, no constructed string...).
    asn1crypto's own round trip keeps a NULL's length, and all of a value
    it has no type for, as they came: this looks at each element."""
    def fail(rule):
        raise Refused("form", f"{what} has {rule} (at {at})")
    try:
        class_, method, tag, header, body, trailer = parser.parse(
            encoding, strict=True)
        inner = list(elements(body)) if method else []
    except ValueError:
        fail("an element whose length is not its own")
    if trailer:
        fail("an indefinite length")
    if class_ not in (0, 2) or tag > 30:
        fail(f"a tag DER does not use here ({header[0]:#04x})")
    if parser.emit(class_, method, tag, body) != encoding:
        fail("a length in more octets than DER's")
    if class_ == 0 and (tag in (16, 17)) != bool(method):
        fail("a SEQUENCE or SET not constructed, or a constructed string, "
             "which DER does not have")
    if class_ == 0 and not method:
        try:
            if core.load(encoding, strict=True).dump(force=True) == encoding:
                return
        except Exception:  # asn1crypto raises more than one kind here
            pass
        fail(f"a value of universal type {tag} not as DER writes it")
    offset = at + len(header)
    for element in inner:
        der(element, what, offset)
        offset += len(element)
    if class_ == 0 and tag == 17 and inner != sorted(inner):
        # Complete DER encodings: bytes order is DER's order of a SET OF.
        fail("a SET out of DER order")


# --- the PE image ---------------------------------------------------------

def pe_layout(image):
    """(where the checksum is, where the security directory entry is, the
    certificate table's offset, its size) in a PE image."""
    try:
        headers = pefile.PE(data=image, fast_load=True)
    except pefile.PEFormatError:
        raise Refused("signed", "it is not a PE image")
    optional = headers.OPTIONAL_HEADER
    if len(optional.DATA_DIRECTORY) <= SECURITY_DIRECTORY:
        raise Refused("signed", "it has no security directory")
    entry = optional.DATA_DIRECTORY[SECURITY_DIRECTORY]
    return (optional.get_field_absolute_offset("CheckSum"),
            entry.get_file_offset(), entry.VirtualAddress, entry.Size)


def pe_signature(image):
    """The signature in a PE image's certificate table, or None if it has
    no table. The table must be as osslsigncode writes it: the file's last
    bytes, 8-aligned, one WIN_CERTIFICATE of revision 2.0 holding PKCS#7
    signed data, its length the table's, the DER followed by fewer than 8
    zero octets of padding."""
    _, _, offset, size = pe_layout(image)
    if size == 0:
        return None
    if offset % 8 or size < 8 or offset + size != len(image):
        raise Refused("signed", "its certificate table is not the file's "
                      "last bytes, 8-aligned")
    length, revision, kind = struct.unpack_from("<IHH", image, offset)
    if length != size:
        raise Refused("signed", f"its certificate table holds {size} bytes, "
                      f"its one entry says {length}")
    if (revision, kind) != (WIN_CERT_REVISION_2_0,
                            WIN_CERT_TYPE_PKCS_SIGNED_DATA):
        raise Refused("signed", f"its certificate entry is revision "
                      f"{revision:#x}, type {kind}: not revision 2.0 PKCS#7")
    content = image[offset + 8:offset + size]
    if len(content) < 4 or content[0] != 0x30:
        raise Refused("signed", "its certificate entry holds no PKCS#7")
    try:
        signature = next(elements(content))
    except ValueError:
        raise Refused("form", "the signature ends inside an element")
    padding = content[len(signature):]
    if len(padding) >= 8 or padding.strip(b"\0"):
        raise Refused("signed", f"{len(padding)} bytes follow the signature "
                      f"inside its certificate entry (beyond the padding "
                      f"to 8 bytes)")
    der(signature, "the signature")
    return signature


def pe_digest(image):
    """The SHA-256 that Authenticode signs: the file up to its certificate
    table, without the checksum and the security directory entry."""
    checksum, entry, offset, _ = pe_layout(image)
    return hashlib.sha256(image[:checksum] + image[checksum + 4:entry] +
                          image[entry + 8:offset]).digest()


# --- the signature --------------------------------------------------------

def signed_data(content_info, what):
    """The SignedData a ContentInfo holds."""
    if content_info["content_type"].dotted != SIGNED_DATA:
        raise Refused("form", f"{what} is not PKCS#7 signed data")
    data = content_info["content"]
    if not len(data["signer_infos"]):
        raise Refused("one", f"{what} has no signer")
    return data


def the_signer(data, what, problem, checks):
    """The first SignerInfo of the SignedData what holds, and the issuer
    and serial number it names its certificate by, each as its DER.
    Revocation lists, another count of signers than one and a signer's
    version other than 1 are problems of the checks named, in that
    order."""
    if present(data["crls"]):
        problem(checks[0], f"{len(data['crls'])} revocation lists ride "
                f"along in {what}")
    signers = data["signer_infos"]
    if len(signers) != 1:
        problem(checks[1], f"{len(signers)} signers, not one")
    signer = signers[0]
    if signer["version"].native != "v1":
        problem(checks[2], "its signer's version is not 1")
    if not present(signer["signed_attrs"]):
        raise Refused("form", f"{what}'s signer has no signed attributes")
    if signer["sid"].name != "issuer_and_serial_number":
        raise Refused("form", f"{what}'s signer does not name its "
                      f"certificate by issuer and serial number")
    names = signer["sid"].chosen
    return signer, (names["issuer"].dump(), names["serial_number"].dump())


def certificate_names(certificate):
    """(issuer, serial, subject) of an x509.Certificate, each its DER."""
    fields = certificate["tbs_certificate"]
    return (fields["issuer"].dump(), fields["serial_number"].dump(),
            fields["subject"].dump())


def subject_text(certificate):
    return openssl_text(["x509", "-noout", "-subject", "-nameopt",
                         "oneline"], pem_of("CERTIFICATE", certificate)
                        ).strip().removeprefix("subject=")


def algorithm_problem(algorithm, want_der, want_oid, what):
    """Why an AlgorithmIdentifier is not want_der, or None."""
    if algorithm.dump() == want_der:
        return None
    got = algorithm["algorithm"].dotted
    if got != want_oid:
        return "one", f"{what} is {name(got)}, not {name(want_oid)}"
    return "form", (f"{what}'s parameters are not as osslsigncode writes "
                    f"them (NULL)")


def name(dotted):
    return NAMES.get(dotted, dotted)


def carries_data(algorithm):
    """An AlgorithmIdentifier's parameters are more than nothing, a NULL,
    or what asn1crypto's type for the algorithm reads (RSA's and SHA-2's
    NULL, RSASSA-PSS's fields): where no signature covers them, data could
    ride there."""
    try:
        parameters = algorithm["parameters"]
        return isinstance(parameters, core.Any) and \
            not isinstance(parameters.parsed, core.Null)
    except ValueError:
        return True


def round_trips(encoding):
    """asn1crypto, reading all of encoding as a ContentInfo and encoding
    it anew, gives its very bytes (no DEFAULT value written out, for
    one)."""
    try:
        return cms.ContentInfo.load(encoding).dump(force=True) == encoding
    except ValueError:
        return False


def signed_data_anew(version, digest, content, chain, signer):
    """The DER of a ContentInfo holding SignedData of these fields, chain
    its certificates (in DER order, as a SET OF is encoded), signer its
    one signer."""
    return cms.ContentInfo({
        "content_type": SIGNED_DATA,
        "content": SignedData({
            "version": version, "digest_algorithms": [digest],
            "encap_content_info": content,
            "certificates": [cms.CertificateChoices(
                "certificate", c) for c in chain],
            "signer_infos": [signer]})}).dump()


def facts(image, out_dir):
    """What verify.sh needs, as its docstring says; problems are printed
    as found, a Refused one last."""
    problems = []

    def problem(check, text):
        problems.append((check, text))
        print("problem", check, text)

    size = pe_layout(image)[3]
    print("signed", int(size != 0))
    if size == 0:
        return
    signature = pe_signature(image)
    write(f"{out_dir}/signature.pem", pem_of("PKCS7", signature))
    data = signed_data(loaded(signature, "the signature"), "the signature")

    if data["version"].native != "v1":
        problem("form", "its signed data's version is not 1")
    digests = data["digest_algorithms"]
    if len(digests) != 1:
        problem("one", f"it names {len(digests)} digest algorithms, "
                f"not SHA-256 alone")
    else:
        found = algorithm_problem(digests[0], SHA256_ALGORITHM, SHA256,
                                  "its digest algorithm")
        if found:
            problem(*found)

    # The content, SpcIndirectDataContent: the file's digest. Its bytes
    # are the signer's (its digest is a signed attribute).
    content = data["encap_content_info"]
    if content["content_type"].dotted != SPC_INDIRECT_DATA:
        raise Refused("form", "its content is not Authenticode's")
    indirect = content["content"]
    if indirect["data"]["type"].dotted != SPC_PE_IMAGE_DATA:
        raise Refused("form", "its content is not a PE image's")
    digest_info = indirect["message_digest"]
    found = algorithm_problem(digest_info["digest_algorithm"],
                              SHA256_ALGORITHM, SHA256,
                              "the file digest's algorithm")
    if found:
        problem(*found)
    write(f"{out_dir}/signed-content.bin", indirect.contents)
    digest = digest_info["digest"].native
    if digest != pe_digest(image):
        problem("intact", f"the file's digest is not the signed one: the "
                f"file changed after it was signed, or the signature is "
                f"another file's (signed {digest.hex()}, the file's "
                f"{pe_digest(image).hex()})")

    signer, sid = the_signer(data, "the signature", problem,
                             ("unsigned", "one", "form"))
    found = algorithm_problem(signer["digest_algorithm"], SHA256_ALGORITHM,
                              SHA256, "its signer's digest algorithm")
    if found:
        problem(*found)
    found = algorithm_problem(signer["signature_algorithm"], RSA_ALGORITHM,
                              RSA, "its signature algorithm")
    if found:
        # An RSA (PKCS#1 v1.5) signature is the one value for its key and
        # content; anyone can turn an ECDSA signature into another valid
        # one, and so the file into other bytes.
        problem(*found)
    write(f"{out_dir}/signature-value.bin", signer["signature"].native)

    # A value is read only as far as this needs: an attacker's attribute
    # is reported, whatever it holds.
    token = None
    unsigned = signer["unsigned_attrs"]
    if present(unsigned):
        for attribute in unsigned:
            kind, values = attribute["type"].dotted, attribute["values"]
            if kind == NESTED_SIGNATURE:
                problem("one", f"a nested signature ({len(values)} values)")
            elif kind != RFC3161_TIMESTAMP or len(values) != 1 or \
                    len(unsigned) != 1:
                problem("unsigned", f"unsigned attribute {name(kind)} with "
                        f"{len(values)} values")
            else:
                token = next(elements(values.contents))
        if not len(unsigned):
            problem("unsigned", "an empty list of unsigned attributes")
    print("timestamps", int(token is not None))

    chain = signer_chain(data["certificates"], sid, out_dir, problem)
    unsigned_anew = {}
    if token is not None:
        write(f"{out_dir}/timestamp.der", token)
        unsigned_anew = {"unsigned_attrs": [{
            "type": RFC3161_TIMESTAMP,
            "values": [check_token(token, out_dir, problem)]}]}

    # Last, the strongest form: the signature encoded anew from its fields
    # and the constants of the genuine form must be its very bytes, and so
    # must asn1crypto's encoding of all it read (no value where DER leaves
    # out a default, for one).
    if problems:
        return
    rebuilt = signed_data_anew("v1", algos.DigestAlgorithm.load(
        SHA256_ALGORITHM), content, chain, cms.SignerInfo({
            "version": "v1", "sid": signer["sid"],
            "digest_algorithm": algos.DigestAlgorithm.load(SHA256_ALGORITHM),
            "signed_attrs": signer["signed_attrs"],
            "signature_algorithm": algos.SignedDigestAlgorithm.load(
                RSA_ALGORITHM),
            "signature": signer["signature"], **unsigned_anew}))
    if rebuilt != signature or not round_trips(signature):
        problem("form", "encoded anew from its fields, it is not the file's "
                "signature byte for byte")


def signer_chain(certificates, sid, out_dir, problem, prefix="",
                 to_root=True, check="certificates", whose="the signer's"):
    """The signer's chain, its own certificate first, from a SignedData's
    certificates: the one with the signer's issuer and serial number byte
    for byte, then each certificate that issued the one before, by
    signature; with to_root, up to a self-signed root. Anything else is a
    problem."""
    listed = []
    for choice in certificates:
        if choice.name == "certificate":
            listed.append(choice.chosen)
        else:
            problem(check, f"{whose} certificates hold something that is "
                    f"not a certificate")
    raws = [c.dump() for c in listed]
    if len(set(raws)) != len(raws):
        problem(check, f"{whose} certificates hold one certificate twice")
    if raws != sorted(raws):
        problem(check, f"{whose} certificates are not in DER order "
                f"(./run sign writes them so)")
    leaves = [c for c in listed if certificate_names(c)[:2] == sid]
    if not leaves:
        problem(check, f"no certificate has {whose} issuer and serial "
                f"number")
        return []
    chain, rest = [leaves[0]], [c for c in listed if c is not leaves[0]]
    while not self_signed(chain[-1], out_dir):
        issuers = [c for c in rest if issued_by(chain[-1], c, out_dir)]
        if not issuers:
            if to_root:
                problem(check, f"{whose} chain stops at "
                        f"{subject_text(chain[-1])}: no certificate in it "
                        f"issued that one, and it is not a self-signed root")
            break
        chain.append(issuers[0])
        rest = [c for c in rest if c is not issuers[0]]
    for stray in rest:
        problem(check, f"a certificate outside {whose} chain: "
                f"{subject_text(stray)}")
    write(f"{out_dir}/{prefix}leaf.pem", pem_of("CERTIFICATE", chain[0]))
    write(f"{out_dir}/{prefix}chain.pem",
          "".join(pem_of("CERTIFICATE", c) for c in chain))
    return chain


def check_token(token, out_dir, problem):
    """Checks an RFC 3161 time stamp token as strictly as the signature
    that holds it, and returns it encoded anew from its fields."""
    what = "the time stamp"
    try:
        top = loaded(token, what)
        data = signed_data(top, what)
        if data["version"].native != "v3":
            problem("timestamp", "its signed data's version is not 3")
        content = data["encap_content_info"]
        if content["content_type"].dotted != TST_INFO or \
                not isinstance(content["content"].parsed, core.OctetString):
            problem("timestamp", "its content is no TSTInfo")
        signer, sid = the_signer(data, what, problem, ["timestamp"] * 3)
        digest = signer["digest_algorithm"]
        if [d.dump() for d in data["digest_algorithms"]] != [digest.dump()]:
            problem("timestamp", "its digest algorithms are not its "
                    "signer's alone")
        if present(signer["unsigned_attrs"]):
            problem("timestamp", "its signer has unsigned attributes")
        for algorithm in (digest, signer["signature_algorithm"]):
            if carries_data(algorithm):
                kind = name(algorithm["algorithm"].dotted)
                problem("timestamp", f"its {kind} algorithm's parameters "
                        f"carry data")
        chain = signer_chain(
            data["certificates"], sid, out_dir, problem, "tsa-",
            to_root=False, check="timestamp", whose="the authority's")
        # The authority's chain need not reach a root: authorities send
        # what they send, and anyone whom the verifier trusts may stamp.
        return cms.ContentInfo.load(signed_data_anew(
            "v3", digest, content, chain, cms.SignerInfo({
                "version": "v1", "sid": signer["sid"],
                "digest_algorithm": digest,
                "signed_attrs": signer["signed_attrs"],
                "signature_algorithm": signer["signature_algorithm"],
                "signature": signer["signature"]})))
    except Refused as refusal:
        problem("timestamp", refusal.args[1])
    except ValueError as error:
        problem("timestamp", f"{what} is not where, or what, RFC 3161 puts "
                f"it ({first_line(error)})")
    return None


# --- OpenSSL --------------------------------------------------------------

def openssl(args, stdin=None):
    return subprocess.run(["openssl"] + args, input=stdin,
                          capture_output=True)


def openssl_text(args, stdin):
    return openssl(args, stdin.encode()).stdout.decode(errors="replace")


def verifies(certificate, anchor, out_dir, extra):
    """`openssl verify` of certificate with anchor as its only trust, no
    machine store, times not judged (the pins judge those)."""
    write(f"{out_dir}/link-anchor.pem", pem_of("CERTIFICATE", anchor))
    write(f"{out_dir}/link-subject.pem", pem_of("CERTIFICATE", certificate))
    return openssl(["verify", "-no-CApath", "-no-CAstore", "-no_check_time",
                    *extra, "-CAfile", f"{out_dir}/link-anchor.pem",
                    f"{out_dir}/link-subject.pem"]).returncode == 0


def issued_by(certificate, issuer, out_dir):
    """issuer's key signed certificate, and issuer may issue it."""
    return verifies(certificate, issuer, out_dir, ["-partial_chain"])


def self_signed(certificate, out_dir):
    """certificate is a root: it names itself as issuer and its own key
    signed it."""
    issuer, _, subject = certificate_names(certificate)
    return issuer == subject and verifies(
        certificate, certificate, out_dir, ["-check_ss_sig"])


# --- canonical ------------------------------------------------------------

def canonical(signature):
    """signature with the certificates in it and in its time stamp in DER
    order, all else as it was: asn1crypto encodes anew only what changed,
    and a SET OF in DER order."""
    def sort(content_info):
        data = signed_data(content_info, "the signature")
        if present(data["certificates"]):
            data["certificates"] = list(data["certificates"])
        for signer in data["signer_infos"]:
            for attribute in signer["unsigned_attrs"]:
                if attribute["type"].dotted == RFC3161_TIMESTAMP:
                    for token in attribute["values"]:
                        sort(token)
    top = loaded(signature, "the signature")
    sort(top)
    return top.dump()


# --- files ----------------------------------------------------------------

def pem_of(kind, value):
    """value (its DER, or an asn1crypto value) as PEM text."""
    if not isinstance(value, bytes):
        value = value.dump()
    return pem.armor(kind, value).decode()


def write(path, data):
    with open(path, "w" if isinstance(data, str) else "wb") as out:
        out.write(data)


def certificate_sha256(text):
    for kind, _, encoding in pem.unarmor(text, multiple=True):
        if kind == "CERTIFICATE":
            print(hashlib.sha256(encoding).hexdigest())


def main():
    command = sys.argv[1:2]
    try:
        if command == ["facts"] and len(sys.argv) == 4:
            with open(sys.argv[2], "rb") as f:
                image = f.read()
            try:
                facts(image, sys.argv[3])
            except Refused as refusal:
                print("problem", *refusal.args)
                print("stop")
            except ValueError as error:
                # A field asn1crypto could not read when it was first used.
                print("problem form the signature is not where, or what,",
                      f"PKCS#7 puts it ({first_line(error)})")
                print("stop")
        elif command == ["canonical"] and len(sys.argv) == 4:
            with open(sys.argv[2], "rb") as f:
                signature = pe_signature(f.read())
            if signature is None:
                sys.exit("authenticode.py: the file is not signed")
            write(sys.argv[3], pem_of("PKCS7", canonical(signature)))
        elif command == ["certificate-sha256"] and len(sys.argv) == 3:
            with open(sys.argv[2], "rb") as f:
                certificate_sha256(f.read())
        else:
            sys.exit(__doc__)
    except Refused as refusal:
        sys.exit(f"authenticode.py: {refusal.args[1]}")
    except ValueError as error:
        sys.exit(f"authenticode.py: {first_line(error)}")
    except OSError as error:
        sys.exit(f"authenticode.py: {error}")


if __name__ == "__main__":
    main()
