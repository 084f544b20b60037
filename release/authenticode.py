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
read. The PE headers are read by pefile. No ASN.1 library: the
structures are few, and their layout is fixed by PKCS#7, Authenticode and
RFC 3161. The cryptography is OpenSSL's (`openssl verify`), with no trust
store but the one certificate it is given.
"""
import base64
import collections
import hashlib
import re
import struct
import subprocess
import sys

import pefile

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

BOOLEAN, INTEGER, BIT_STRING, OCTET_STRING, NULL, OID = 1, 2, 3, 4, 5, 6
ENUMERATED, UTC_TIME, GENERALIZED_TIME = 0x0A, 0x17, 0x18
SEQUENCE, SET, CONTEXT_0, CONTEXT_1 = 0x30, 0x31, 0xA0, 0xA1
SECURITY_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x200, 2


class Refused(Exception):
    """The signature departs from the genuine form so far that nothing
    after it can be checked: (the check it fails, why)."""


# One DER element: its tag, its whole encoding, its content octets, and
# for a constructed one the elements inside it (None for a primitive).
Element = collections.namedtuple("Element", "tag raw body items")


def parse(data, what):
    """data as exactly one DER element, strictly: definite lengths in the
    fewest octets, low tag numbers of the universal and context classes,
    the universal types' own rules (minimal INTEGERs, 0 or FF BOOLEANs,
    empty NULLs, zero unused bits, minimal OID arcs, times as DER writes
    them), SETs in DER order, and not a byte before or after."""
    element, end = parse_at(data, 0, len(data), what)
    if end != len(data):
        raise Refused("form", f"{len(data) - end} bytes follow {what}")
    return element


def parse_at(data, pos, limit, what):
    if pos + 2 > limit:
        raise Refused("form", f"{what} ends inside an element")
    tag, first, start = data[pos], data[pos + 1], pos + 2
    if tag & 0x1F == 0x1F or tag & 0x40:
        raise Refused("form", f"{what} has a tag DER does not use here "
                      f"({tag:#04x} at {pos})")
    if first == 0x80:
        raise Refused("form", f"{what} has an indefinite length (at {pos})")
    size = first
    if first > 0x80:
        count = first & 0x7F
        octets = data[start:start + count]
        if count > 4 or len(octets) < count or start + count > limit:
            raise Refused("form", f"{what} has a length DER cannot have "
                          f"(at {pos})")
        size = int.from_bytes(octets, "big")
        if octets[0] == 0 or size < 0x80:
            raise Refused("form", f"{what} has a length in more octets "
                          f"than DER's (at {pos})")
        start += count
    end = start + size
    if end > limit:
        raise Refused("form", f"{what}: an element runs past its end "
                      f"(at {pos})")
    body = data[start:end]
    if not tag & 0x20:
        check_primitive(tag, body, pos, what)
        return Element(tag, data[pos:end], body, None), end
    if tag & 0xC0 == 0 and tag not in (SEQUENCE, SET):
        raise Refused("form", f"{what} has a constructed string, which DER "
                      f"does not have (at {pos})")
    items, inner = [], start
    while inner < end:
        item, inner = parse_at(data, inner, end, what)
        items.append(item)
    if tag == SET and [i.raw for i in items] != der_order(items):
        raise Refused("form", f"{what} has a SET out of DER order (at {pos})")
    return Element(tag, data[pos:end], body, items), end


def check_primitive(tag, body, pos, what):
    def fail(rule):
        raise Refused("form", f"{what} has {rule} (at {pos})")
    if tag in (SEQUENCE & 0x1F, SET & 0x1F):
        fail("a SEQUENCE or SET not constructed")
    if tag == BOOLEAN and body not in (b"\x00", b"\xff"):
        fail("a BOOLEAN other than 00 or FF")
    if tag in (INTEGER, ENUMERATED) and (
            not body or len(body) > 1 and (
                body[0] == 0 and body[1] < 0x80 or
                body[0] == 0xFF and body[1] >= 0x80)):
        fail("an INTEGER not in its fewest octets")
    if tag == NULL and body:
        fail("a NULL with content")
    if tag == BIT_STRING and (
            not body or body[0] > 7 or len(body) == 1 and body[0] or
            len(body) > 1 and body[-1] & ((1 << body[0]) - 1)):
        fail("a BIT STRING's unused bits wrong")
    if tag == OID and (not body or body[-1] & 0x80 or any(
            body[i] == 0x80 and (i == 0 or not body[i - 1] & 0x80)
            for i in range(len(body)))):
        fail("an OBJECT IDENTIFIER not in its fewest octets")
    if tag == UTC_TIME and not re.fullmatch(rb"\d{12}Z", body):
        fail("a UTCTime not as DER writes it")
    if tag == GENERALIZED_TIME and not re.fullmatch(
            rb"\d{14}(\.\d*[1-9])?Z", body):
        fail("a GeneralizedTime not as DER writes it")


def der_order(items):
    """The encodings of items as DER orders a SET OF: ascending, shorter
    ones taken as padded with zero octets."""
    width = max((len(i.raw) for i in items), default=0)
    return sorted((i.raw for i in items), key=lambda r: r.ljust(width, b"\0"))


def encode(tag, body):
    """One DER element of tag around body."""
    size = len(body)
    if size < 0x80:
        return bytes([tag, size]) + body
    length = size.to_bytes((size.bit_length() + 7) // 8, "big")
    return bytes([tag, 0x80 | len(length)]) + length + body


def encode_oid(dotted):
    arcs = [int(a) for a in dotted.split(".")]
    body = b""
    for arc in [40 * arcs[0] + arcs[1]] + arcs[2:]:
        chunk = [arc & 0x7F]
        while arc > 0x7F:
            arc >>= 7
            chunk.insert(0, 0x80 | arc & 0x7F)
        body += bytes(chunk)
    return encode(OID, body)


def oid(element):
    """An OBJECT IDENTIFIER as dotted text, or "" for another element."""
    if element.tag != OID:
        return ""
    arcs, value = [], 0
    for byte in element.body:
        value = value << 7 | byte & 0x7F
        if not byte & 0x80:
            arcs.append(value)
            value = 0
    first = min(arcs[0] // 40, 2)
    return ".".join(map(str, [first, arcs[0] - 40 * first] + arcs[1:]))


def name(dotted):
    return NAMES.get(dotted, dotted)


def integer(element):
    return int.from_bytes(element.body, "big", signed=True)


# The AlgorithmIdentifiers as osslsigncode writes them: NULL parameters.
SHA256_ALGORITHM = encode(SEQUENCE, encode_oid(SHA256) + encode(NULL, b""))
RSA_ALGORITHM = encode(SEQUENCE, encode_oid(RSA) + encode(NULL, b""))


def shape(element, tag, what, count=None):
    """element's items, if it has tag and, when given, count items."""
    if element.tag != tag or element.items is None or (
            count is not None and len(element.items) != count):
        raise Refused("form", f"{what} is not where, or what, PKCS#7 "
                      f"puts it")
    return element.items


def certificate_names(certificate):
    """(issuer, serial, subject) of a certificate, each its element."""
    fields = shape(shape(certificate, SEQUENCE, "a certificate")[0],
                   SEQUENCE, "a certificate's signed part")
    if fields and fields[0].tag == CONTEXT_0:
        fields = fields[1:]                 # the explicit version
    if len(fields) < 6:
        raise Refused("form", "a certificate is not one")
    return fields[2], fields[0], fields[4]


def subject_text(certificate):
    return openssl_text(["x509", "-noout", "-subject", "-nameopt",
                         "oneline"], pem("CERTIFICATE", certificate.raw)
                        ).strip().removeprefix("subject=")


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
    if len(content) < 4 or content[0] != SEQUENCE:
        raise Refused("signed", "its certificate entry holds no PKCS#7")
    _, end = parse_at(content, 0, len(content), "the signature")
    padding = content[end:]
    if len(padding) >= 8 or padding.strip(b"\0"):
        raise Refused("signed", f"{len(padding)} bytes follow the signature "
                      f"inside its certificate entry (beyond the padding "
                      f"to 8 bytes)")
    return content[:end]


def pe_digest(image):
    """The SHA-256 that Authenticode signs: the file up to its certificate
    table, without the checksum and the security directory entry."""
    checksum, entry, offset, _ = pe_layout(image)
    return hashlib.sha256(image[:checksum] + image[checksum + 4:entry] +
                          image[entry + 8:offset]).digest()


# --- the signature --------------------------------------------------------

def signed_data(element, what):
    """The fields of the SignedData a ContentInfo holds."""
    kind, explicit = shape(element, SEQUENCE, what, 2)
    if oid(kind) != SIGNED_DATA:
        raise Refused("form", f"{what} is not PKCS#7 signed data")
    return shape(shape(explicit, CONTEXT_0, what, 1)[0], SEQUENCE, what)


def split_signed_data(fields, what):
    """(version, digest algorithms, content, certificates, revocation
    lists, signers) of SignedData's fields; None for those left out."""
    if len(fields) < 4:
        raise Refused("form", f"{what} lacks fields of signed data")
    version, digests, content, *middle, signers = fields
    certificates = crls = None
    for field in middle:
        if field.tag == CONTEXT_0 and certificates is None and crls is None:
            certificates = field
        elif field.tag == CONTEXT_1 and crls is None:
            crls = field
        else:
            raise Refused("form", f"{what} has a field PKCS#7 does not")
    if version.tag != INTEGER:
        raise Refused("form", f"{what}'s version is no INTEGER")
    shape(digests, SET, f"{what}'s digest algorithms")
    shape(signers, SET, f"{what}'s signers")
    if not signers.items:
        raise Refused("one", f"{what} has no signer")
    return version, digests, content, certificates, crls, signers


def split_signer(signer, what):
    """(version, issuer and serial, digest algorithm, signed attributes,
    signature algorithm, signature value, unsigned attributes or None)."""
    fields = shape(signer, SEQUENCE, what)
    if len(fields) < 6 or fields[3].tag != CONTEXT_0:
        raise Refused("form", f"{what} has no signed attributes, or lacks "
                      f"fields")
    if len(fields) > 7 or len(fields) == 7 and fields[6].tag != CONTEXT_1:
        raise Refused("form", f"{what} has a field PKCS#7 does not")
    version, issuer_serial, digest, signed, algorithm, value = fields[:6]
    if version.tag != INTEGER or value.tag != OCTET_STRING:
        raise Refused("form", f"{what}'s version or value is misplaced")
    shape(issuer_serial, SEQUENCE, f"{what}'s issuer and serial", 2)
    shape(digest, SEQUENCE, f"{what}'s digest algorithm")
    shape(algorithm, SEQUENCE, f"{what}'s signature algorithm")
    shape(signed, CONTEXT_0, f"{what}'s signed attributes")
    unsigned = fields[6] if len(fields) == 7 else None
    return version, issuer_serial, digest, signed, algorithm, value, unsigned


def attributes(element, what):
    """(type, values) of each attribute in a [n] SET OF Attribute."""
    out = []
    for attribute in shape(element, element.tag, what):
        kind, values = shape(attribute, SEQUENCE, f"an attribute of {what}",
                             2)
        out.append((oid(kind), shape(values, SET, f"{what}'s values")))
    return out


def algorithm_problem(element, want_der, want_oid, what):
    """Why an AlgorithmIdentifier is not want_der, or None."""
    if element.raw == want_der:
        return None
    got = oid(element.items[0]) if element.items else ""
    if got != want_oid:
        return "one", f"{what} is {name(got)}, not {name(want_oid)}"
    return "form", (f"{what}'s parameters are not as osslsigncode writes "
                    f"them (NULL)")


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
    write(f"{out_dir}/signature.pem", pem("PKCS7", signature))
    top = parse(signature, "the signature")
    version, digests, content, certificates, crls, signers = \
        split_signed_data(signed_data(top, "the signature"), "the signature")

    if integer(version) != 1:
        problem("form", "its signed data's version is not 1")
    if len(digests.items) != 1:
        problem("one", f"it names {len(digests.items)} digest algorithms, "
                f"not SHA-256 alone")
    else:
        found = algorithm_problem(digests.items[0], SHA256_ALGORITHM, SHA256,
                                  "its digest algorithm")
        if found:
            problem(*found)

    # The content, SpcIndirectDataContent: the file's digest. Its bytes
    # are the signer's (its digest is a signed attribute).
    kind, explicit = shape(content, SEQUENCE, "its content", 2)
    if oid(kind) != SPC_INDIRECT_DATA:
        raise Refused("form", "its content is not Authenticode's")
    indirect = shape(explicit, CONTEXT_0, "its content", 1)[0]
    data, digest_info = shape(indirect, SEQUENCE, "its content", 2)
    if oid(shape(data, SEQUENCE, "its content's data")[0]) != \
            SPC_PE_IMAGE_DATA:
        raise Refused("form", "its content is not a PE image's")
    algorithm, digest = shape(digest_info, SEQUENCE, "its file digest", 2)
    found = algorithm_problem(algorithm, SHA256_ALGORITHM, SHA256,
                              "the file digest's algorithm")
    if found:
        problem(*found)
    if digest.tag != OCTET_STRING:
        raise Refused("form", "its file digest is no OCTET STRING")
    write(f"{out_dir}/signed-content.bin", indirect.body)
    if digest.body != pe_digest(image):
        problem("intact", f"the file's digest is not the signed one: the "
                f"file changed after it was signed, or the signature is "
                f"another file's (signed {digest.body.hex()}, the file's "
                f"{pe_digest(image).hex()})")

    if crls is not None:
        problem("unsigned", f"{len(crls.items)} revocation lists ride along")
    if len(signers.items) != 1:
        problem("one", f"{len(signers.items)} signers, not one")
    (signer_version, issuer_serial, signer_digest, signed, signature_algorithm,
     value, unsigned) = split_signer(signers.items[0], "its signer")
    if integer(signer_version) != 1:
        problem("form", "its signer's version is not 1")
    found = algorithm_problem(signer_digest, SHA256_ALGORITHM, SHA256,
                              "its signer's digest algorithm")
    if found:
        problem(*found)
    found = algorithm_problem(signature_algorithm, RSA_ALGORITHM, RSA,
                              "its signature algorithm")
    if found:
        # An RSA (PKCS#1 v1.5) signature is the one value for its key and
        # content; anyone can turn an ECDSA signature into another valid
        # one, and so the file into other bytes.
        problem(*found)
    write(f"{out_dir}/signature-value.bin", value.body)

    token = None
    if unsigned is not None:
        listed = attributes(unsigned, "its unsigned attributes")
        for kind, values in listed:
            if kind == NESTED_SIGNATURE:
                problem("one", f"a nested signature ({len(values)} values)")
            elif kind != RFC3161_TIMESTAMP or len(values) != 1 or \
                    len(listed) != 1:
                problem("unsigned", f"unsigned attribute {name(kind)} with "
                        f"{len(values)} values")
            else:
                token = values[0]
        if not listed:
            problem("unsigned", "an empty list of unsigned attributes")
    print("timestamps", int(token is not None))

    leaf, chain = signer_chain(certificates, issuer_serial, out_dir, problem)
    token_rebuilt = b""
    if token is not None:
        write(f"{out_dir}/timestamp.der", token.raw)
        token_rebuilt = check_token(token, out_dir, problem)

    # Last, the strongest form: the signature encoded anew from its fields
    # and the constants of the genuine form must be its very bytes.
    signer_fields = (encode(INTEGER, b"\x01") +
                     issuer_and_serial(leaf, issuer_serial) +
                     SHA256_ALGORITHM + signed.raw + RSA_ALGORITHM +
                     value.raw)
    if token is not None:
        signer_fields += encode(CONTEXT_1, encode(SEQUENCE, encode_oid(
            RFC3161_TIMESTAMP) + encode(SET, token_rebuilt)))
    rebuilt = encode(SEQUENCE, encode_oid(SIGNED_DATA) + encode(
        CONTEXT_0, encode(SEQUENCE, encode(INTEGER, b"\x01") + encode(
            SET, SHA256_ALGORITHM) + content.raw + encode(
                CONTEXT_0, b"".join(der_order(chain))) + encode(
                    SET, encode(SEQUENCE, signer_fields)))))
    if rebuilt != signature and not problems:
        problem("form", "encoded anew from its fields, it is not the file's "
                "signature byte for byte")


def signer_chain(certificates, issuer_serial, out_dir, problem, prefix="",
                 to_root=True, check="certificates", whose="the signer's"):
    """The signer's certificate (issuer, serial, subject) and its chain's
    elements, leaf first, from a SignedData's certificates: the one with
    the signer's issuer and serial number byte for byte, then each
    certificate that issued the one before, by signature; with to_root,
    up to a self-signed root. Anything else is a problem."""
    listed = [] if certificates is None else certificates.items
    if any(c.tag != SEQUENCE for c in listed):
        problem(check, f"{whose} certificates hold something that is not "
                f"a certificate")
        listed = [c for c in listed if c.tag == SEQUENCE]
    raws = [c.raw for c in listed]
    if len(set(raws)) != len(raws):
        problem(check, f"{whose} certificates hold one certificate twice")
    if raws != der_order(listed):
        problem(check, f"{whose} certificates are not in DER order "
                f"(./run sign writes them so)")
    leaves = [c for c in listed
              if list(certificate_names(c)[:2]) == issuer_serial.items]
    if not leaves:
        problem(check, f"no certificate has {whose} issuer and serial "
                f"number")
        return None, []
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
    write(f"{out_dir}/{prefix}leaf.pem", pem("CERTIFICATE", chain[0].raw))
    write(f"{out_dir}/{prefix}chain.pem",
          "".join(pem("CERTIFICATE", c.raw) for c in chain))
    return certificate_names(chain[0]), chain


def issuer_and_serial(leaf, given):
    """A SignerInfo's issuer and serial number as its certificate has
    them (as given when none has)."""
    if not leaf:
        return given.raw
    return encode(SEQUENCE, leaf[0].raw + leaf[1].raw)


def check_token(token, out_dir, problem):
    """Checks an RFC 3161 time stamp token as strictly as the signature
    that holds it, and returns it encoded anew from its fields."""
    what = "the time stamp"
    try:
        fields = signed_data(token, what)
        version, digests, content, certificates, crls, signers = \
            split_signed_data(fields, what)
        if integer(version) != 3:
            problem("timestamp", "its signed data's version is not 3")
        kind, explicit = shape(content, SEQUENCE, f"{what}'s content", 2)
        info = shape(explicit, CONTEXT_0, f"{what}'s content", 1)[0]
        if oid(kind) != TST_INFO or info.tag != OCTET_STRING:
            problem("timestamp", "its content is no TSTInfo")
        if crls is not None:
            problem("timestamp", f"{len(crls.items)} revocation lists "
                    f"ride along in it")
        if len(signers.items) != 1:
            problem("timestamp", f"{len(signers.items)} signers, not one")
        (signer_version, issuer_serial, digest, signed, algorithm, value,
         unsigned) = split_signer(signers.items[0], f"{what}'s signer")
        if integer(signer_version) != 1:
            problem("timestamp", "its signer's version is not 1")
        if [d.raw for d in digests.items] != [digest.raw]:
            problem("timestamp", "its digest algorithms are not its "
                    "signer's alone")
        if unsigned is not None:
            problem("timestamp", "its signer has unsigned attributes")
        leaf, chain = signer_chain(
            certificates, issuer_serial, out_dir, problem, "tsa-",
            to_root=False, check="timestamp", whose="the authority's")
        # The authority's chain need not reach a root: authorities send
        # what they send, and anyone whom the verifier trusts may stamp.
    except Refused as refusal:
        problem("timestamp", refusal.args[1])
        return b""
    signer_fields = (encode(INTEGER, b"\x01") +
                     issuer_and_serial(leaf, issuer_serial) + digest.raw +
                     signed.raw + algorithm.raw + value.raw)
    return encode(SEQUENCE, encode_oid(SIGNED_DATA) + encode(
        CONTEXT_0, encode(SEQUENCE, encode(INTEGER, b"\x03") + encode(
            SET, digest.raw) + content.raw + encode(
                CONTEXT_0, b"".join(der_order(chain))) + encode(
                    SET, encode(SEQUENCE, signer_fields)))))


# --- OpenSSL --------------------------------------------------------------

def openssl(args, stdin=None):
    return subprocess.run(["openssl"] + args, input=stdin,
                          capture_output=True)


def openssl_text(args, stdin):
    return openssl(args, stdin.encode()).stdout.decode(errors="replace")


def verifies(certificate, anchor, out_dir, extra):
    """`openssl verify` of certificate with anchor as its only trust, no
    machine store, times not judged (the pins judge those)."""
    write(f"{out_dir}/link-anchor.pem", pem("CERTIFICATE", anchor.raw))
    write(f"{out_dir}/link-subject.pem", pem("CERTIFICATE", certificate.raw))
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
    return issuer.raw == subject.raw and verifies(
        certificate, certificate, out_dir, ["-check_ss_sig"])


# --- canonical ------------------------------------------------------------

def canonical(signature):
    """signature with the certificates in it and in its time stamp in DER
    order, all else as it was."""
    def sorted_certificates(element, what):
        kind, explicit = shape(element, SEQUENCE, what, 2)
        inner = shape(explicit, CONTEXT_0, what, 1)[0]
        fields = list(shape(inner, SEQUENCE, what))
        out = []
        for index, field in enumerate(fields):
            if field.tag == CONTEXT_0 and 2 < index < len(fields) - 1:
                out.append(encode(CONTEXT_0, b"".join(der_order(field.items))))
            elif index == len(fields) - 1:
                out.append(encode(SET, b"".join(
                    sorted_unsigned(s) for s in shape(field, SET, what))))
            else:
                out.append(field.raw)
        return encode(SEQUENCE, kind.raw + encode(
            CONTEXT_0, encode(SEQUENCE, b"".join(out))))

    def sorted_unsigned(signer):
        fields = shape(signer, SEQUENCE, "a signer")
        if fields[-1].tag != CONTEXT_1:
            return signer.raw
        attributes_out = []
        for attribute in fields[-1].items:
            kind, values = shape(attribute, SEQUENCE, "an attribute", 2)
            if oid(kind) == RFC3161_TIMESTAMP:
                values = encode(SET, b"".join(sorted(
                    sorted_certificates(v, "the time stamp")
                    for v in values.items)))
            else:
                values = values.raw
            attributes_out.append(encode(SEQUENCE, kind.raw + values))
        return encode(SEQUENCE, b"".join(f.raw for f in fields[:-1]) +
                      encode(CONTEXT_1, b"".join(attributes_out)))

    return sorted_certificates(parse(signature, "the signature"),
                               "the signature")


# --- files ----------------------------------------------------------------

def pem(kind, der):
    return f"-----BEGIN {kind}-----\n" + \
        base64.encodebytes(der).decode() + f"-----END {kind}-----\n"


def write(path, data):
    with open(path, "w" if isinstance(data, str) else "wb") as out:
        out.write(data)


def certificate_sha256(text):
    for block in re.findall(r"-----BEGIN CERTIFICATE-----(.*?)-----END",
                            text, re.S):
        print(hashlib.sha256(base64.b64decode(block)).hexdigest())


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
        elif command == ["canonical"] and len(sys.argv) == 4:
            with open(sys.argv[2], "rb") as f:
                signature = pe_signature(f.read())
            if signature is None:
                sys.exit("authenticode.py: the file is not signed")
            write(sys.argv[3], pem("PKCS7", canonical(signature)))
        elif command == ["certificate-sha256"] and len(sys.argv) == 3:
            with open(sys.argv[2]) as f:
                certificate_sha256(f.read())
        else:
            sys.exit(__doc__)
    except Refused as refusal:
        sys.exit(f"authenticode.py: {refusal.args[1]}")
    except OSError as error:
        sys.exit(f"authenticode.py: {error}")


if __name__ == "__main__":
    main()
