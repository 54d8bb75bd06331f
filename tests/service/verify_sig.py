"""Checks signatures made through vardek with an implementation that shares
no code with it (python3-cryptography).

Usage: verify_sig.py ALG KEYFILE DATAFILE SIGFILE [ALG KEYFILE DATAFILE SIGFILE ...]

KEYFILE holds a PEM public key (SubjectPublicKeyInfo), a PEM X.509
certificate, or a public key blob as one "TYPE BASE64" line; a blob must be
exactly the encoding this library gives the key it decodes from it.
DATAFILE holds the message itself, never a digest: the checker hashes it and,
for RSA, builds the DigestInfo on its own. SIGFILE holds the signature as
vardek answers it: the raw PKCS #1 v1.5 block for RSA, the DER (r, s)
sequence for ECDSA. ALG is one of rsa-sha256, rsa-sha512, ecdsa-sha256,
ecdsa-sha384, ecdsa-sha512.

Prints one line per group of four arguments, "ok" or "bad: <why>", and exits
with status 0 only when every group verified; status 2 on a usage error.
"""

import sys

from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

HASHES = {"sha256": hashes.SHA256, "sha384": hashes.SHA384, "sha512": hashes.SHA512}


def load_key(path):
    with open(path, "rb") as f:
        pem = f.read()
    if b"-----BEGIN CERTIFICATE-----" in pem:
        return x509.load_pem_x509_certificate(pem).public_key()
    if b"-----BEGIN" in pem:
        return serialization.load_pem_public_key(pem)
    line = b" ".join(pem.split()[:2])
    key = serialization.load_ssh_public_key(line)
    again = key.public_bytes(serialization.Encoding.OpenSSH, serialization.PublicFormat.OpenSSH)
    if again != line:
        raise ValueError("blob is not the canonical encoding of its key")
    return key


def check(alg, key_path, data_path, sig_path):
    family, _, hname = alg.partition("-")
    if hname not in HASHES or family not in ("rsa", "ecdsa"):
        raise ValueError("unknown algorithm " + alg)
    key = load_key(key_path)
    with open(data_path, "rb") as f:
        data = f.read()
    with open(sig_path, "rb") as f:
        sig = f.read()
    if family == "rsa":
        if not isinstance(key, rsa.RSAPublicKey):
            return "bad: not an RSA key"
        if len(sig) != (key.key_size + 7) // 8:
            return "bad: signature of %d bytes for a %d-bit key" % (len(sig), key.key_size)
        key.verify(sig, data, padding.PKCS1v15(), HASHES[hname]())
    else:
        if not isinstance(key, ec.EllipticCurvePublicKey):
            return "bad: not an EC key"
        key.verify(sig, data, ec.ECDSA(HASHES[hname]()))
    return "ok"


def main(argv):
    if not argv or len(argv) % 4 != 0:
        print(__doc__, file=sys.stderr)
        return 2
    status = 0
    for i in range(0, len(argv), 4):
        try:
            line = check(*argv[i : i + 4])
        except InvalidSignature:
            line = "bad: signature does not verify"
        except (ValueError, OSError) as e:
            line = "bad: %s" % e
        if line != "ok":
            status = 1
        print(line)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
