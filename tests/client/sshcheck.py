#!/usr/bin/python3
"""Independent checks of vardek-client output with python3-cryptography.

  sshcheck.py keys FILE           parse every key line of an authorized_keys
                                  file; print "<kind> <bits> <fingerprint>"
                                  per key, the fingerprint of the key as
                                  python3-cryptography encodes it
  sshcheck.py verify KEYLINE DATAFILE SIG
                                  verify SIG (base64 SSH signature blob) over
                                  the bytes of DATAFILE with the key on
                                  KEYLINE; print the signature algorithm
  sshcheck.py json FILE EXPR      print EXPR evaluated on the JSON document
                                  in FILE (bound to d)
Exits 1 with a message when a check fails.
"""
import base64
import json
import struct
import sys

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature


def fail(msg):
    print("sshcheck: " + msg, file=sys.stderr)
    sys.exit(1)


def take_string(b):
    if len(b) < 4:
        fail("truncated string")
    (n,) = struct.unpack(">I", b[:4])
    if len(b) < 4 + n:
        fail("truncated string")
    return b[4 : 4 + n], b[4 + n :]


def take_mpint(b):
    v, rest = take_string(b)
    if v and v[0] & 0x80:
        fail("negative mpint")
    if len(v) > 1 and v[0] == 0 and not v[1] & 0x80:
        fail("mpint with a superfluous zero byte")
    return int.from_bytes(v, "big"), rest


def key_lines(path):
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#"):
                yield line


def describe(key):
    if isinstance(key, rsa.RSAPublicKey):
        return "rsa %d" % key.key_size
    if isinstance(key, ec.EllipticCurvePublicKey):
        return "ec %d" % key.curve.key_size
    return type(key).__name__


def fingerprint(key):
    text = key.public_bytes(serialization.Encoding.OpenSSH, serialization.PublicFormat.OpenSSH)
    blob = base64.b64decode(text.split()[1])
    digest = hashes.Hash(hashes.SHA256())
    digest.update(blob)
    return "SHA256:" + base64.b64encode(digest.finalize()).decode().rstrip("=")


def cmd_keys(path):
    for line in key_lines(path):
        key = serialization.load_ssh_public_key(line.encode())
        print(describe(key), fingerprint(key))


def cmd_verify(keyline, datafile, sig):
    key = serialization.load_ssh_public_key(keyline.encode())
    with open(datafile, "rb") as f:
        data = f.read()
    blob = base64.b64decode(sig, validate=True)
    alg, rest = take_string(blob)
    raw, rest = take_string(rest)
    if rest:
        fail("bytes after the signature")
    alg = alg.decode()
    try:
        if isinstance(key, rsa.RSAPublicKey):
            md = {"rsa-sha2-256": hashes.SHA256(), "rsa-sha2-512": hashes.SHA512()}.get(alg)
            if md is None:
                fail("unexpected RSA signature algorithm " + alg)
            if len(raw) != (key.key_size + 7) // 8:
                fail("RSA signature not as long as the modulus")
            key.verify(raw, data, padding.PKCS1v15(), md)
        else:
            size = key.curve.key_size
            want = "ecdsa-sha2-nistp%d" % size
            if alg != want:
                fail("signature algorithm %s for a %s key" % (alg, want))
            r, inner = take_mpint(raw)
            s, inner = take_mpint(inner)
            if inner:
                fail("bytes after s")
            md = hashes.SHA256() if size <= 256 else hashes.SHA384() if size <= 384 else hashes.SHA512()
            key.verify(encode_dss_signature(r, s), data, ec.ECDSA(md))
    except InvalidSignature:
        fail("signature does not verify")
    print(alg)


def cmd_json(path, expr):
    with open(path, encoding="utf-8") as f:
        d = json.load(f)
    print(eval(expr, {}, {"d": d}))


def main(argv):
    if len(argv) == 3 and argv[1] == "keys":
        cmd_keys(argv[2])
    elif len(argv) == 5 and argv[1] == "verify":
        cmd_verify(argv[2], argv[3], argv[4])
    elif len(argv) == 4 and argv[1] == "json":
        cmd_json(argv[2], argv[3])
    else:
        fail("bad usage")


if __name__ == "__main__":
    main(sys.argv)
