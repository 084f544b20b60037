#!/usr/bin/python3
"""Makes tampered copies of a signed updater.exe, the ways an attacker
would, for the release test's table: each rewrites one thing that no
signature covers and leaves the rest as osslsigncode wrote it. The PE
headers through pefile; the signature's DER as a tree of its elements,
each as it came (asn1crypto's own types would mend what is changed here
on purpose), rewritten where it is tampered with.

  tamper.py KIND SIGNED OUT [ARGUMENT...]

The certificate table:
  pad                 data hidden inside the table, its lengths and the
                      checksum fixed (the padding trick of CVE-2013-3900)
  checksum            the header checksum changed, nothing else
  revision            the entry's wRevision 1.0 instead of 2.0
  two-entries         a second entry, a copy of the first, in the table
The signature's fields:
  version             the signed data's version, a long INTEGER carrying data
  signer-version      the same, on the signer's version
  digest-algorithms   SHA-256 with data for parameters in the digest
                      algorithms
  signer-digest-parameters, signature-parameters
                      data for parameters of the signer's digest or
                      signature algorithm
  indefinite          the outer length in BER's indefinite form
  second-signer       the signer twice
  signer-names CERT.der
                      the signer's issuer and serial number CERT's
Its certificates:
  certificates CERT.der...
                      the list replaced by these certificates
  certificates-reversed, certificates-twice, certificates-without-root
  certificates-plus CERT.der
                      one more, outside the chain
  root-signature      the root's signature bytes changed: it still names
                      itself as its issuer, but its key did not sign it
  long-null           the NULL of the first certificate's own signature
                      algorithm, which its signature does not cover, with
                      its length in two octets
Its unsigned attributes:
  unsigned HEX        these attributes (whole DER SEQUENCEs) added
The time stamp token in it:
  token-certificates-plus CERT.der
                      one more certificate in the token
  token-unsigned      an unsigned attribute on the authority's signer
  token-signature-parameters
                      data for parameters of the authority's signature
                      algorithm
"""
import collections
import os
import struct
import sys

import pefile
from asn1crypto import core, parser, x509

# Imported from the checkout, which must stay as its commit has it (sign.sh
# refuses one with more): no __pycache__ beside it.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "../../release"))
import authenticode  # noqa: E402

PAYLOAD = b"ATTACKER PAYLOAD " * 8
INTEGER, OCTET_STRING = 0x02, 0x04
SEQUENCE, SET, CONTEXT_0, CONTEXT_1 = 0x30, 0x31, 0xA0, 0xA1


def with_checksum(image, value):
    at = authenticode.pe_layout(image)[0]
    return image[:at] + struct.pack("<I", value) + image[at + 4:]


def pe_checksum(image):
    """The PE header checksum Windows computes."""
    return pefile.PE(data=image, fast_load=True).generate_checksum()


def with_table(image, table):
    """image with its certificate table replaced by table, its size and
    the checksum right again, as osslsigncode leaves them."""
    _, entry, offset, _ = authenticode.pe_layout(image)
    out = bytearray(image[:offset] + table)
    struct.pack_into("<I", out, entry + 4, len(table))
    return with_checksum(bytes(out), pe_checksum(bytes(out)))


def entry(signature, revision=authenticode.WIN_CERT_REVISION_2_0):
    """One WIN_CERTIFICATE around signature, padded to 8 bytes."""
    body = signature + b"\0" * (-len(signature) % 8)
    return struct.pack("<IHH", 8 + len(body), revision,
                       authenticode.WIN_CERT_TYPE_PKCS_SIGNED_DATA) + body


# One element: its first tag octet, its whole encoding, its content
# octets, and for a constructed one the elements inside it (else None).
Element = collections.namedtuple("Element", "tag raw body items")


def parsed(raw):
    _, method, _, _, body, _ = parser.parse(raw, strict=True)
    items = [parsed(e) for e in authenticode.elements(body)] if method \
        else None
    return Element(raw[0], raw, body, items)


def encode(tag, body):
    """One DER element of tag (its first octet) around body."""
    return parser.emit(tag >> 6, tag >> 5 & 1, tag & 0x1F, body)


def oid(element):
    return core.ObjectIdentifier.load(element.raw).dotted


def names(raw):
    """(issuer, serial, subject) of a certificate, each its DER."""
    return authenticode.certificate_names(x509.Certificate.load(raw))


def rewrite(element, path, change):
    """element's encoding with the element at path (item indexes) replaced
    by change(it), the lengths around it made right."""
    if not path:
        return change(element)
    raws = [i.raw for i in element.items]
    raws[path[0]] = rewrite(element.items[path[0]], path[1:], change)
    return encode(element.tag, b"".join(raws))


def signer_path(content_info):
    """Item indexes from a ContentInfo to its first SignerInfo."""
    fields = content_info.items[1].items[0].items
    return [1, 0, len(fields) - 1, 0]


def certificates_path(content_info):
    fields = content_info.items[1].items[0].items
    return [1, 0, [i for i, f in enumerate(fields)
                   if f.tag == CONTEXT_0 and i > 2][0]]


def with_parameters(algorithm):
    """An AlgorithmIdentifier with data for parameters."""
    return encode(SEQUENCE, algorithm.items[0].raw +
                  encode(OCTET_STRING, PAYLOAD))


def with_unsigned(signer, attributes):
    raws = [i.raw for i in signer.items]
    if signer.items[-1].tag == CONTEXT_1:
        raws[-1] = encode(CONTEXT_1, signer.items[-1].body + attributes)
    else:
        raws.append(encode(CONTEXT_1, attributes))
    return encode(SEQUENCE, b"".join(raws))


def certificates_replaced(change):
    def replace(certificates):
        return encode(CONTEXT_0, b"".join(
            change([c.raw for c in certificates.items])))
    return replace


def is_root(raw):
    """The certificate names itself as its issuer."""
    issuer, _, subject = names(raw)
    return issuer == subject


def in_token(change):
    """change applied to the time stamp token in a SignerInfo."""
    def on_signer(signer):
        attributes = signer.items[-1]
        raws = []
        for attribute in attributes.items:
            kind, values = attribute.items
            if oid(kind) == authenticode.RFC3161_TIMESTAMP:
                token = change(values.items[0])
                attribute = parsed(encode(SEQUENCE, kind.raw +
                                          encode(SET, token)))
            raws.append(attribute.raw)
        return rewrite(signer, [len(signer.items) - 1], lambda _: encode(
            CONTEXT_1, b"".join(raws)))
    return on_signer


def read(path):
    with open(path, "rb") as f:
        return f.read()


def tampered(kind, image, arguments):
    signature = authenticode.pe_signature(image)
    top = parsed(signature)
    signer = signer_path(top)
    certificates = certificates_path(top)
    long_integer = encode(INTEGER, b"\x01" + PAYLOAD)
    signature_changes = {
        "version": ([1, 0, 0], lambda _: long_integer),
        "signer-version": (signer + [0], lambda _: long_integer),
        "digest-algorithms": ([1, 0, 1], lambda e: encode(
            SET, with_parameters(e.items[0]))),
        "signer-digest-parameters": (signer + [2], with_parameters),
        "signature-parameters": (signer + [4], with_parameters),
        "second-signer": ([1, 0, signer[2]], lambda e: encode(
            SET, e.items[0].raw * 2)),
        "signer-names": (signer + [1], lambda _: encode(
            SEQUENCE, b"".join(names(read(arguments[0]))[:2]))),
        "certificates": (certificates, certificates_replaced(
            lambda _: [read(p) for p in arguments])),
        "certificates-reversed": (certificates, certificates_replaced(
            lambda raws: raws[::-1])),
        "certificates-twice": (certificates, certificates_replaced(
            lambda raws: raws * 2)),
        "certificates-plus": (certificates, certificates_replaced(
            lambda raws: raws + [read(arguments[0])])),
        # The signature value is the certificate's last bytes.
        "root-signature": (certificates, certificates_replaced(
            lambda raws: [r[:-1] + bytes([r[-1] ^ 1]) if is_root(r) else r
                          for r in raws])),
        "long-null": (certificates + [0, 1, 1], lambda _: b"\x05\x81\x00"),
        # The signer's own, the one certificate with its issuer and serial.
        "certificates-without-root": (certificates, certificates_replaced(
            lambda raws: [r for r in raws if list(names(r)[:2]) == [
                i.raw for i in top.items[1].items[0].items[-1]
                .items[0].items[1].items]])),
        "unsigned": (signer, lambda e: with_unsigned(
            e, bytes.fromhex(arguments[0]))),
        "token-certificates-plus": (signer, in_token(lambda token: rewrite(
            token, certificates_path(token), certificates_replaced(
                lambda raws: raws + [read(arguments[0])])))),
        "token-signature-parameters": (signer, in_token(
            lambda token: rewrite(token, signer_path(token) + [4],
                                  with_parameters))),
        "token-unsigned": (signer, in_token(lambda token: rewrite(
            token, signer_path(token), lambda e: with_unsigned(
                e, encode(SEQUENCE, core.ObjectIdentifier("1.2.3.4").dump() +
                          encode(SET, encode(OCTET_STRING, PAYLOAD))))))),
    }
    _, _, offset, _ = authenticode.pe_layout(image)
    if kind in signature_changes:
        path, change = signature_changes[kind]
        return with_table(image, entry(rewrite(top, path, change)))
    if kind == "indefinite":
        body = top.body
        return with_table(image, entry(bytes([SEQUENCE, 0x80]) + body +
                                       b"\0\0"))
    if kind == "revision":
        return with_table(image, entry(signature, revision=0x100))
    if kind == "two-entries":
        return with_table(image, entry(signature) * 2)
    if kind == "checksum":
        return with_checksum(image, pe_checksum(image) ^ 1)
    if kind == "pad":
        table = image[offset:]
        length = struct.unpack_from("<I", table)[0]
        padded = bytearray(table + PAYLOAD)
        struct.pack_into("<I", padded, 0, length + len(PAYLOAD))
        return with_table(image, bytes(padded))
    sys.exit(__doc__)


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    kind, source, out, *arguments = sys.argv[1:]
    authenticode.write(out, tampered(kind, read(source), arguments))


if __name__ == "__main__":
    main()
