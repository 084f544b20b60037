#!/usr/bin/python3
"""Reads the Authenticode signature of a PE file for release/verify.sh and
release/sign.sh: the one signature that should be there, and whatever
else rides along with it.

  authenticode.py facts FILE OUT_DIR
      prints one fact a line, "name value":
        signed 0|1             FILE has a certificate table
        signers N              SignerInfos in its first signature
        digest NAME            the digest of the file that was signed
        signer-digest NAME     the digest over the signer's attributes
        nested N               nested signatures (an unsigned attribute)
        timestamps N           RFC 3161 time stamps (an unsigned attribute)
        other-unsigned OID     any other unsigned attribute, one a line
        signer-certificate 0|1 the signer's certificate is in the signature
        stray-certificates N   certificates that are not the signer's chain
        crls N                 revocation lists carried along
      and writes into OUT_DIR: signature.pem (the signature's bytes exactly
      as the table holds them), signed-content.bin (what its signer's
      digest covers: the content of SpcIndirectDataContent, which holds
      the file's digest), certificates.pem (all it carries), and for the
      first signer leaf.der (its certificate), signature-value.bin (what a
      time stamp covers) and timestamp.der (its first time stamp).
  authenticode.py certificate-sha256 PEM_FILE
      prints the SHA-256 of each certificate's DER in PEM_FILE.

Plain DER: the structures are few and their layout is fixed by PKCS#7 and
Authenticode, so no ASN.1 library is needed. Input that does not parse
ends with exit status 1 and a message.
"""
import base64
import hashlib
import re
import sys

OID_NAMES = {
    "2.16.840.1.101.3.4.2.1": "sha256",
    "2.16.840.1.101.3.4.2.2": "sha384",
    "2.16.840.1.101.3.4.2.3": "sha512",
    "1.3.14.3.2.26": "sha1",
    "1.2.840.113549.2.5": "md5",
}
SIGNED_DATA = "1.2.840.113549.1.7.2"
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
RFC3161_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1"

SEQUENCE, SET = 0x30, 0x31
CONTEXT_0, CONTEXT_1 = 0xA0, 0xA1
SECURITY_DIRECTORY = 4


class Malformed(Exception):
    pass


def read(data, pos=0):
    """The DER element at pos: (tag, content start, end). Definite
    lengths and low tag numbers only, as DER has them here."""
    if pos + 2 > len(data) or data[pos] & 0x1F == 0x1F:
        raise Malformed(f"no DER element at offset {pos}")
    tag, size, start = data[pos], data[pos + 1], pos + 2
    if size & 0x80:
        count = size & 0x7F
        if not 1 <= count <= 4:
            raise Malformed(f"unsupported length at offset {pos}")
        size = int.from_bytes(data[start:start + count], "big")
        start += count
    if start + size > len(data):
        raise Malformed(f"the element at offset {pos} runs past its end")
    return tag, start, start + size


def content(element):
    """The content octets of one whole element."""
    _, start, end = read(element)
    return element[start:end]


def children(element):
    """The elements inside one constructed element, each whole."""
    body, out, pos = content(element), [], 0
    while pos < len(body):
        _, _, end = read(body, pos)
        out.append(body[pos:end])
        pos = end
    return out


def tag(element):
    return element[0]


def encode(element_tag, body):
    """One DER element of element_tag around body."""
    size = len(body)
    if size < 0x80:
        return bytes([element_tag, size]) + body
    length = size.to_bytes((size.bit_length() + 7) // 8, "big")
    return bytes([element_tag, 0x80 | len(length)]) + length + body


def oid(element):
    """An OBJECT IDENTIFIER as dotted text."""
    arcs, value = [], 0
    for byte in content(element):
        value = value << 7 | byte & 0x7F
        if not byte & 0x80:
            arcs.append(value)
            value = 0
    first = min(arcs[0] // 40, 2)
    return ".".join(map(str, [first, arcs[0] - 40 * first] + arcs[1:]))


def algorithm(identifier):
    """The name of an AlgorithmIdentifier's algorithm."""
    dotted = oid(children(identifier)[0])
    return OID_NAMES.get(dotted, dotted)


def certificate_table(image):
    """(where the security directory entry is, the table's offset, its
    size) in a PE image; offset and size are 0 if it has no table."""
    header = int.from_bytes(image[0x3C:0x40], "little")
    if image[header:header + 4] != b"PE\0\0":
        raise Malformed("not a PE image")
    optional = header + 24
    magic = int.from_bytes(image[optional:optional + 2], "little")
    if magic not in (0x10B, 0x20B):
        raise Malformed("unknown optional header")
    entry = optional + (96 if magic == 0x10B else 112) + 8 * SECURITY_DIRECTORY
    offset = int.from_bytes(image[entry:entry + 4], "little")
    size = int.from_bytes(image[entry + 4:entry + 8], "little")
    return entry, offset, size


def pe_signature(image):
    """The first signature in a PE image's certificate table, exactly as
    many bytes as its DER says, or None if the image has no table."""
    _, offset, size = certificate_table(image)
    if size == 0:
        return None
    if size < 8 or offset + size > len(image):
        raise Malformed("the certificate table lies outside the file")
    entry = image[offset + 8:offset + size]
    _, _, end = read(entry)
    return entry[:end]


def signed_data(signature):
    """The fields of the SignedData inside a PKCS#7 ContentInfo."""
    kind, explicit = children(signature)[:2]
    if oid(kind) != SIGNED_DATA:
        raise Malformed("not a PKCS#7 SignedData")
    return children(children(explicit)[0])


def signer_parts(signer_info):
    """A SignerInfo's issuer and serial, digest algorithm, signature value
    and unsigned attributes (each a list: type, SET of values)."""
    fields = children(signer_info)
    rest = fields[3:]
    if rest and tag(rest[0]) == CONTEXT_0:
        rest = rest[1:]                     # the signed attributes
    unsigned = []
    if len(rest) > 2 and tag(rest[2]) == CONTEXT_1:
        unsigned = [children(a) for a in children(rest[2])]
    return fields[1], fields[2], content(rest[1]), unsigned


def certificate_names(certificate):
    """(issuer, serial, subject) of a certificate, each its raw DER."""
    fields = children(children(certificate)[0])
    if tag(fields[0]) == CONTEXT_0:
        fields = fields[1:]                 # the explicit version
    return fields[2], fields[0], fields[4]


def chain_of(leaf, certificates):
    """The certificates that lead up from leaf by issuer name, leaf
    included."""
    chain = [leaf]
    while True:
        issuer, _, subject = certificate_names(chain[-1])
        parents = [c for c in certificates if c not in chain and
                   certificate_names(c)[2] == issuer]
        if issuer == subject or not parents:
            return chain
        chain.append(parents[0])


def pem(kind, der):
    return f"-----BEGIN {kind}-----\n" + \
        base64.encodebytes(der).decode() + f"-----END {kind}-----\n"


def write(path, data):
    with open(path, "w" if isinstance(data, str) else "wb") as out:
        out.write(data)


def facts(image, out_dir):
    signature = pe_signature(image)
    print("signed", int(signature is not None))
    if signature is None:
        return
    write(f"{out_dir}/signature.pem", pem("PKCS7", signature))
    fields = signed_data(signature)
    indirect = children(children(fields[2])[1])[0]
    write(f"{out_dir}/signed-content.bin", content(indirect))
    print("digest", algorithm(children(children(indirect)[1])[0]))
    bags = [f for f in fields if tag(f) == CONTEXT_0]
    certificates = children(bags[0]) if bags else []
    write(f"{out_dir}/certificates.pem",
          "".join(pem("CERTIFICATE", c) for c in certificates))
    signers = children(fields[-1])
    print("signers", len(signers))
    if not signers:
        raise Malformed("a signature without a signer")
    issuer_serial, digest, value, unsigned = signer_parts(signers[0])
    print("signer-digest", algorithm(digest))
    write(f"{out_dir}/signature-value.bin", value)
    counted = {NESTED_SIGNATURE: [], RFC3161_TIMESTAMP: []}
    for kind, values in unsigned:
        if oid(kind) in counted:
            counted[oid(kind)] += children(values)
        else:
            print("other-unsigned", oid(kind))
    print("nested", len(counted[NESTED_SIGNATURE]))
    timestamps = counted[RFC3161_TIMESTAMP]
    print("timestamps", len(timestamps))
    if timestamps:
        write(f"{out_dir}/timestamp.der", timestamps[0])
    leaves = [c for c in certificates
              if list(certificate_names(c)[:2]) == children(issuer_serial)]
    print("signer-certificate", len(leaves[:1]))
    chain = chain_of(leaves[0], certificates) if leaves else []
    if leaves:
        write(f"{out_dir}/leaf.der", leaves[0])
    print("stray-certificates", len([c for c in certificates
                                     if c not in chain]))
    print("crls", len([f for f in fields if tag(f) == CONTEXT_1]))


def certificate_sha256(text):
    for block in re.findall(r"-----BEGIN CERTIFICATE-----(.*?)-----END",
                            text, re.S):
        print(hashlib.sha256(base64.b64decode(block)).hexdigest())


def main():
    command = sys.argv[1:2]
    try:
        if command == ["facts"] and len(sys.argv) == 4:
            with open(sys.argv[2], "rb") as f:
                facts(f.read(), sys.argv[3])
        elif command == ["certificate-sha256"] and len(sys.argv) == 3:
            with open(sys.argv[2]) as f:
                certificate_sha256(f.read())
        else:
            sys.exit(__doc__)
    except (Malformed, IndexError, ValueError) as error:
        sys.exit(f"authenticode.py: cannot be read: {error}")


if __name__ == "__main__":
    main()
