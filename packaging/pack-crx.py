#!/usr/bin/env python3
"""Packs an extension folder: a CRX3 file signed with an RSA key (Chromium), or with --zip-only
the bare ZIP (Firefox's .xpi).

    pack-crx.py --key KEY.pem --id ID [--openssl PATH] DIR OUT.crx FILE...
    pack-crx.py --zip-only DIR OUT.xpi FILE...

The ZIP holds FILE... of DIR in that order, deflated, with one fixed time, so that the same
input gives the same bytes. A CRX3 file is "Cr24", the format version 3 and the header's length
(both 32-bit little-endian), the header (a CrxFileHeader protocol buffer), then the ZIP. The
header carries the public key, the RSA PKCS#1 v1.5 SHA-256 signature and the signed data, whose
crx_id is the first 16 bytes of SHA-256 over the public key; the signature covers
"CRX3 SignedData\\0", the signed data's length (32-bit little-endian), the signed data and the
ZIP. The signing is done by the openssl command. --id is the id the build expects of the key:
packing fails when the key gives another.
"""
import argparse
import hashlib
import io
import os
import struct
import subprocess
import sys
import tempfile
import zipfile

FIXED_TIME = (2020, 1, 1, 0, 0, 0)


def zip_bytes(folder, names):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name in names:
            info = zipfile.ZipInfo(name, FIXED_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            with open(os.path.join(folder, name), "rb") as f:
                z.writestr(info, f.read())
    return out.getvalue()


def varint(n):
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        if n:
            out.append(b | 0x80)
        else:
            out.append(b)
            return bytes(out)


def field(number, payload):
    """A length-delimited protocol buffer field."""
    return varint(number << 3 | 2) + varint(len(payload)) + payload


def run_openssl(openssl, args, data=None):
    return subprocess.run([openssl, *args], input=data, capture_output=True, check=True).stdout


def crx_id_letters(crx_id):
    return "".join(chr(ord("a") + int(c, 16)) for c in crx_id.hex())


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--key")
    p.add_argument("--id")
    p.add_argument("--openssl", default="openssl")
    p.add_argument("--zip-only", action="store_true")
    p.add_argument("folder")
    p.add_argument("out")
    p.add_argument("files", nargs="+")
    a = p.parse_args()
    archive = zip_bytes(a.folder, a.files)
    if a.zip_only:
        data = archive
    else:
        public_key = run_openssl(a.openssl, ["pkey", "-in", a.key, "-pubout", "-outform", "DER"])
        crx_id = hashlib.sha256(public_key).digest()[:16]
        if a.id and crx_id_letters(crx_id) != a.id:
            sys.exit(f"pack-crx: the key gives the id {crx_id_letters(crx_id)}, not {a.id}")
        signed_data = field(1, crx_id)
        message = b"CRX3 SignedData\x00" + struct.pack("<I", len(signed_data)) + signed_data + archive
        with tempfile.NamedTemporaryFile() as m:
            m.write(message)
            m.flush()
            signature = run_openssl(a.openssl, ["dgst", "-sha256", "-sign", a.key, m.name])
        header = field(2, field(1, public_key) + field(2, signature)) + field(10000, signed_data)
        data = b"Cr24" + struct.pack("<II", 3, len(header)) + header + archive
    tmp = a.out + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.chmod(tmp, 0o644)
    os.replace(tmp, a.out)


if __name__ == "__main__":
    main()
