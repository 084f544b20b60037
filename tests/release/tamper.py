#!/usr/bin/python3
"""Makes tampered copies of a signed updater.exe, the ways an attacker
would, for the release test's table. Plain struct work over the PE
headers; the signature's DER through release/authenticode.py.

  tamper.py pad SIGNED OUT         data hidden inside the certificate table,
                                   its lengths and the checksum fixed (the
                                   padding trick of CVE-2013-3900)
  tamper.py checksum SIGNED OUT    the header checksum changed, nothing else
  tamper.py timestamp SIGNED TOKEN OUT.pem
                                   SIGNED's signature with TOKEN (an RFC 3161
                                   time stamp token, DER) as its unsigned
                                   time stamp attribute, as PEM for
                                   osslsigncode attach-signature
"""
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "../../release"))
import authenticode as der  # noqa: E402


def checksum_offset(image):
    return struct.unpack_from("<I", image, 0x3C)[0] + 24 + 64


def pe_checksum(image):
    """The PE header checksum Windows computes: 16-bit words summed with
    carries, the checksum field taken as zero, plus the file's length."""
    at = checksum_offset(image)
    data = image[:at] + b"\0" * 4 + image[at + 4:]
    data += b"\0" * (len(data) % 2)
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(image)


def with_checksum(image, value):
    at = checksum_offset(image)
    return image[:at] + struct.pack("<I", value) + image[at + 4:]


def pad(image):
    """Payload appended inside the first certificate entry, its length and
    the table's size grown to match, the checksum made right again."""
    entry, offset, size = der.certificate_table(image)
    payload = b"MZ hidden payload inside the signature\0".ljust(64, b"\0")
    image = bytearray(image + payload)
    struct.pack_into("<I", image, entry + 4, size + len(payload))
    length = struct.unpack_from("<I", image, offset)[0]
    struct.pack_into("<I", image, offset, length + len(payload))
    return with_checksum(bytes(image), pe_checksum(bytes(image)))


def with_timestamp(signature, token):
    """signature with one more unsigned attribute on its first signer: an
    RFC 3161 time stamp, token."""
    attribute = der.encode(der.SEQUENCE,
                           der.encode(0x06, bytes.fromhex("2b060104018237030301"))
                           + der.encode(der.SET, token))

    def first_signer(signer_info):
        fields = der.children(signer_info)
        if der.tag(fields[-1]) == der.CONTEXT_1:
            fields[-1] = der.encode(der.CONTEXT_1,
                                    der.content(fields[-1]) + attribute)
        else:
            fields.append(der.encode(der.CONTEXT_1, attribute))
        return der.encode(der.SEQUENCE, b"".join(fields))

    def rewrite(element, path, change):
        if not path:
            return change(element)
        inner = der.children(element)
        inner[path[0]] = rewrite(inner[path[0]], path[1:], change)
        return der.encode(der.tag(element), b"".join(inner))

    # ContentInfo, [0], SignedData, its last field (the SignerInfos), the
    # first SignerInfo.
    signer_infos = len(der.signed_data(signature)) - 1
    return rewrite(signature, [1, 0, signer_infos, 0], first_signer)


def main():
    command, source, *rest = sys.argv[1:]
    with open(source, "rb") as f:
        image = f.read()
    if command == "pad":
        out, data = rest[0], pad(image)
    elif command == "checksum":
        out, data = rest[0], with_checksum(image, pe_checksum(image) ^ 1)
    elif command == "timestamp":
        with open(rest[0], "rb") as f:
            token = f.read()
        out = rest[1]
        data = der.pem("PKCS7", with_timestamp(der.pe_signature(image), token))
    else:
        sys.exit(__doc__)
    der.write(out, data)


if __name__ == "__main__":
    main()
