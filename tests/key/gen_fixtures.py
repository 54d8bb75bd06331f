"""Writes the key-layer test fixtures: public key blobs, signatures and
certificates made with python3-cryptography, independently of vardek's own
encoder and decoder.

Run from anywhere with a python3 that has python3-cryptography installed:

    python3 tests/key/gen_fixtures.py

It rewrites tests/key/fixtures/fixtures.txt and the seed corpus of the
sshkey fuzz target (fuzz/corpus/sshkey_fuzz/). Keys are fresh on every run,
so the output changes each time; commit it as a whole.

Plain key blobs come straight from python3-cryptography's OpenSSH public key
serialisation. The security-key and certificate type names carry vardek's
own domain, so those blobs are laid out here from the SSH wire encodings
(RFC 4251 string, uint32, uint64, mpint) with the library's keys and
signatures.
"""

import base64
import hashlib
import os
import struct
import sys

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import dsa, ec, ed25519, padding, rsa
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature

DOMAIN = "vardek.dev"
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
OUT = os.path.join(HERE, "fixtures", "fixtures.txt")
CORPUS = os.path.join(ROOT, "fuzz", "corpus", "sshkey_fuzz")

DATA = b"data signed for the vardek key tests"


def dom(name):
    return f"{name}@{DOMAIN}"


# --- wire encodings -------------------------------------------------------

def u8(n):
    return struct.pack(">B", n)


def u32(n):
    return struct.pack(">I", n)


def u64(n):
    return struct.pack(">Q", n)


def string(b):
    if isinstance(b, str):
        b = b.encode()
    return u32(len(b)) + b


def mpint(n):
    if n == 0:
        return string(b"")
    raw = n.to_bytes((n.bit_length() + 7) // 8, "big")
    if raw[0] & 0x80:
        raw = b"\x00" + raw
    return string(raw)


def read_string(b, off):
    (n,) = struct.unpack(">I", b[off:off + 4])
    return b[off + 4:off + 4 + n], off + 4 + n


def fingerprint(blob):
    d = base64.b64encode(hashlib.sha256(blob).digest()).decode()
    return "SHA256:" + d.rstrip("=")


# --- keys -----------------------------------------------------------------

CURVES = {
    "nistp256": (ec.SECP256R1(), hashes.SHA256()),
    "nistp384": (ec.SECP384R1(), hashes.SHA384()),
    "nistp521": (ec.SECP521R1(), hashes.SHA512()),
}


def openssh_blob(priv):
    """The public key blob as python3-cryptography writes it."""
    line = priv.public_key().public_bytes(
        serialization.Encoding.OpenSSH, serialization.PublicFormat.OpenSSH)
    return base64.b64decode(line.split()[1])


def ec_point(priv):
    return priv.public_key().public_bytes(
        serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint)


def ed_raw(priv):
    return priv.public_key().public_bytes(
        serialization.Encoding.Raw, serialization.PublicFormat.Raw)


class Key:
    """A private key with its SSH public fields and signing rules."""

    def __init__(self, kind, priv, curve=None, application=None):
        self.kind = kind
        self.priv = priv
        self.curve = curve
        self.application = application

    def fields(self):
        """The public fields after the type name."""
        p = self.priv
        if self.kind == "rsa":
            n = p.public_key().public_numbers()
            return mpint(n.e) + mpint(n.n)
        if self.kind == "dsa":
            n = p.public_key().public_numbers()
            pn = n.parameter_numbers
            return mpint(pn.p) + mpint(pn.q) + mpint(pn.g) + mpint(n.y)
        if self.kind in ("ecdsa", "ecdsa-sk"):
            f = string(self.curve) + string(ec_point(p))
        else:
            f = string(ed_raw(p))
        if self.kind.endswith("-sk"):
            f += string(self.application)
        return f

    def name(self):
        return {
            "rsa": "ssh-rsa",
            "dsa": "ssh-dss",
            "ecdsa": f"ecdsa-sha2-{self.curve}",
            "ed25519": "ssh-ed25519",
            "ecdsa-sk": dom("sk-ecdsa-sha2-nistp256"),
            "ed25519-sk": dom("sk-ssh-ed25519"),
        }[self.kind]

    def cert_name(self, rsa_alg="ssh-rsa"):
        if self.kind == "rsa":
            return dom(rsa_alg + "-cert-v01")
        base = self.name().split("@")[0]
        return dom(base + "-cert-v01")

    def blob(self):
        own = string(self.name()) + self.fields()
        if not self.kind.endswith("-sk"):
            # Our wire helpers must agree with the library's own encoder.
            assert own == openssh_blob(self.priv), self.kind
            return openssh_blob(self.priv)
        return own

    def sign(self, data, alg=None, flags=0x01, counter=7):
        """An SSH signature blob over `data`."""
        p = self.priv
        if self.kind == "rsa":
            alg = alg or "ssh-rsa"
            h = {"ssh-rsa": hashes.SHA1(), "rsa-sha2-256": hashes.SHA256(),
                 "rsa-sha2-512": hashes.SHA512()}[alg]
            return string(alg) + string(p.sign(data, padding.PKCS1v15(), h))
        if self.kind == "dsa":
            r, s = decode_dss_signature(p.sign(data, hashes.SHA1()))
            return string("ssh-dss") + string(r.to_bytes(20, "big") + s.to_bytes(20, "big"))
        if self.kind == "ecdsa":
            r, s = decode_dss_signature(p.sign(data, ec.ECDSA(CURVES[self.curve][1])))
            return string(self.name()) + string(mpint(r) + mpint(s))
        if self.kind == "ed25519":
            return string("ssh-ed25519") + string(p.sign(data))
        app = hashlib.sha256(self.application.encode()).digest()
        signed = app + u8(flags) + u32(counter) + hashlib.sha256(data).digest()
        if self.kind == "ed25519-sk":
            return string(self.name()) + string(p.sign(signed)) + u8(flags) + u32(counter)
        r, s = decode_dss_signature(p.sign(signed, ec.ECDSA(hashes.SHA256())))
        return string(self.name()) + string(mpint(r) + mpint(s)) + u8(flags) + u32(counter)

    def sign_webauthn(self, data, origin, client_data=None, flags=0x01, counter=9,
                      extensions=b""):
        """A WebAuthn-wrapped security-key ECDSA signature over `data`."""
        assert self.kind == "ecdsa-sk"
        if client_data is None:
            client_data = webauthn_client_data(data, origin)
        app = hashlib.sha256(self.application.encode()).digest()
        signed = (app + u8(flags) + u32(counter) + extensions +
                  hashlib.sha256(client_data).digest())
        r, s = decode_dss_signature(self.priv.sign(signed, ec.ECDSA(hashes.SHA256())))
        return (string(dom("webauthn-sk-ecdsa-sha2-nistp256")) + string(mpint(r) + mpint(s)) +
                u8(flags) + u32(counter) + string(origin) + string(client_data) +
                string(extensions))


def webauthn_client_data(data, origin, challenge_data=None):
    c = base64.urlsafe_b64encode(data if challenge_data is None else challenge_data)
    c = c.decode().rstrip("=")
    return ('{"type":"webauthn.get","challenge":"%s","origin":"%s","crossOrigin":false}'
            % (c, origin)).encode()


def make_keys():
    k = {}
    for bits in (1024, 2048, 4096):
        k[f"rsa{bits}"] = Key("rsa", rsa.generate_private_key(65537, bits))
    k["dsa"] = Key("dsa", dsa.generate_private_key(1024))
    for curve, (c, _) in CURVES.items():
        k[f"ecdsa_{curve}"] = Key("ecdsa", ec.generate_private_key(c), curve=curve)
    k["ed25519"] = Key("ed25519", ed25519.Ed25519PrivateKey.generate())
    k["ecdsa_sk"] = Key("ecdsa-sk", ec.generate_private_key(ec.SECP256R1()),
                        curve="nistp256", application="ssh:vardek")
    k["ed25519_sk"] = Key("ed25519-sk", ed25519.Ed25519PrivateKey.generate(),
                          application="ssh:vardek")
    return k


def rsa_key_of_bits(bits):
    """An RSA key whose modulus has exactly `bits` bits (odd sizes included)."""
    while True:
        p = rsa.generate_private_key(65537, bits)
        if p.key_size == bits:
            return Key("rsa", p)


# --- certificates ---------------------------------------------------------

def opts(pairs):
    return b"".join(string(n) + string(d) for n, d in pairs)


def cert_tbs(subject, ca_blob, rsa_alg="ssh-rsa", cert_type=1, principals=("alice",),
             critical=b"", extensions=None, serial=42, key_id="vardek test cert"):
    if extensions is None:
        extensions = opts([(b"permit-pty", b"")])
    return (string(subject.cert_name(rsa_alg)) + string(os.urandom(32)) + subject.fields() +
            u64(serial) + u32(cert_type) + string(key_id) +
            string(b"".join(string(p) for p in principals)) +
            u64(0) + u64(0xffffffffffffffff) + string(critical) + string(extensions) +
            string(b"") + string(ca_blob))


def make_cert(subject, ca, ca_alg=None, rsa_alg="ssh-rsa", **kw):
    tbs = cert_tbs(subject, ca.blob(), rsa_alg=rsa_alg, **kw)
    return tbs + string(ca.sign(tbs, alg=ca_alg))


# --- output ---------------------------------------------------------------

def main():
    keys = make_keys()
    fx = []  # (name, bytes)

    def put(name, value):
        fx.append((name, value if isinstance(value, bytes) else value.encode()))

    for name, key in keys.items():
        put(f"key_{name}", key.blob())
        put(f"fp_{name}", fingerprint(key.blob()))
    put("key_rsa1023", rsa_key_of_bits(1023).blob())

    put("data", DATA)
    for alg in ("ssh-rsa", "rsa-sha2-256", "rsa-sha2-512"):
        put(f"sig_rsa2048_{alg}", keys["rsa2048"].sign(DATA, alg=alg))
    for name in ("dsa", "ecdsa_nistp256", "ecdsa_nistp384", "ecdsa_nistp521", "ed25519",
                 "ecdsa_sk", "ed25519_sk"):
        put(f"sig_{name}", keys[name].sign(DATA))

    # RSA signature values that are one byte short of the modulus length.
    rsa1 = keys["rsa1024"]
    for i in range(100000):
        d = DATA + str(i).encode()
        v = rsa1.priv.sign(d, padding.PKCS1v15(), hashes.SHA256())
        if v[0] == 0:
            put("data_rsa_short", d)
            put("sig_rsa1024_short", string("rsa-sha2-256") + string(v[1:]))
            put("sig_rsa1024_long", string("rsa-sha2-256") + string(b"\x00" + v))
            break

    # WebAuthn signatures: good ones, and well-signed ones that break a rule.
    sk = keys["ecdsa_sk"]
    origin = "https://vardek.dev"
    put("sig_webauthn", sk.sign_webauthn(DATA, origin))
    put("sig_webauthn_ext", sk.sign_webauthn(DATA, origin, flags=0x81,
                                             extensions=opts([(b"credProtect", b"\x01")])))
    put("sig_webauthn_empty_data", sk.sign_webauthn(b"", origin))
    # base64 of these bytes holds "+", "/" and "=" padding.
    awkward = b"\xfb\xff\xbf\xfe" + DATA
    put("data_webauthn_awkward", awkward)
    put("sig_webauthn_awkward", sk.sign_webauthn(awkward, origin))
    put("sig_webauthn_bad_challenge", sk.sign_webauthn(
        DATA, origin, client_data=webauthn_client_data(DATA, origin, b"X" + DATA[1:])))
    put("sig_webauthn_short_client_data",
        sk.sign_webauthn(DATA, origin, client_data=b'{"type":"webauthn.get"}'))
    put("sig_webauthn_ext_flag_no_ext", sk.sign_webauthn(DATA, origin, flags=0x81))
    put("sig_webauthn_ext_no_flag", sk.sign_webauthn(
        DATA, origin, flags=0x01, extensions=opts([(b"credProtect", b"\x01")])))
    put("sig_webauthn_attested", sk.sign_webauthn(DATA, origin, flags=0x41))
    quoted = 'https://vardek.dev"x'
    put("sig_webauthn_quote_origin", sk.sign_webauthn(DATA, quoted))

    # Certificates signed by every kind of CA, over various subjects.
    rsa_ca = keys["rsa2048"]
    certs = [
        ("cert_rsa_by_rsa_sha1", keys["rsa1024"], rsa_ca, "ssh-rsa", "ssh-rsa"),
        ("cert_rsa_by_rsa_sha256", keys["rsa1024"], rsa_ca, "rsa-sha2-256", "rsa-sha2-256"),
        ("cert_rsa_by_rsa_sha512", keys["rsa1024"], rsa_ca, "rsa-sha2-512", "rsa-sha2-512"),
        ("cert_ecdsa256_by_ecdsa384", keys["ecdsa_nistp256"], keys["ecdsa_nistp384"], None,
         "ssh-rsa"),
        ("cert_ecdsa521_by_ecdsa256", keys["ecdsa_nistp521"], keys["ecdsa_nistp256"], None,
         "ssh-rsa"),
        ("cert_ed25519_by_ed25519", keys["ed25519"], keys["ed25519"], None, "ssh-rsa"),
        ("cert_dsa_by_dsa", keys["dsa"], keys["dsa"], None, "ssh-rsa"),
        ("cert_ecdsa_sk_by_ed25519", keys["ecdsa_sk"], keys["ed25519"], None, "ssh-rsa"),
        ("cert_ed25519_sk_by_rsa", keys["ed25519_sk"], rsa_ca, "rsa-sha2-512", "ssh-rsa"),
        ("cert_ed25519_by_ed25519_sk", keys["ed25519"], keys["ed25519_sk"], None, "ssh-rsa"),
        ("cert_ecdsa384_by_ecdsa_sk", keys["ecdsa_nistp384"], keys["ecdsa_sk"], None,
         "ssh-rsa"),
        ("cert_rsa_by_dsa", keys["rsa2048"], keys["dsa"], None, "rsa-sha2-256"),
    ]
    for name, subject, ca, ca_alg, rsa_alg in certs:
        put(name, make_cert(subject, ca, ca_alg=ca_alg, rsa_alg=rsa_alg))
        put(name + "_plain", subject.blob())
        put(name + "_ca", ca.blob())

    ed = keys["ed25519"]
    put("cert_type3", make_cert(ed, ed, cert_type=3))
    put("cert_host", make_cert(ed, ed, cert_type=2, principals=("host.example",)))
    put("cert_256_principals",
        make_cert(ed, ed, principals=[f"user{i}" for i in range(256)]))
    put("cert_257_principals",
        make_cert(ed, ed, principals=[f"user{i}" for i in range(257)]))
    put("cert_critical_no_data", make_cert(ed, ed, critical=string("force-command")))
    put("cert_extension_no_data", make_cert(ed, ed, extensions=string("permit-pty")))
    crit = opts([(b"force-command", string("true")), (b"source-address", string("10.0.0.0/8"))])
    put("cert_with_options", make_cert(ed, ed, critical=crit))
    put("cert_with_options_critical", crit)
    put("cert_with_options_extensions", opts([(b"permit-pty", b"")]))
    # A certificate as the signer of another certificate.
    inner = make_cert(ed, ed)
    tbs = cert_tbs(keys["ecdsa_nistp256"], inner)
    put("cert_signed_by_cert", tbs + string(ed.sign(tbs)))
    # A signature over the right bytes by a key other than the named CA.
    stranger = Key("ed25519", ed25519.Ed25519PrivateKey.generate())
    tbs = cert_tbs(ed, stranger.blob())
    put("cert_wrong_signer", tbs + string(ed.sign(tbs)))

    os.makedirs(os.path.dirname(OUT), exist_ok=True)
    with open(OUT, "w") as f:
        f.write("# Generated by tests/key/gen_fixtures.py with python3-cryptography;"
                " do not edit.\n")
        f.write("# Regenerate: python3 tests/key/gen_fixtures.py\n")
        f.write("# One fixture a line: name, a blank, the bytes in hex.\n")
        for name, value in fx:
            f.write(f"{name} {value.hex()}\n")

    os.makedirs(CORPUS, exist_ok=True)
    for old in os.listdir(CORPUS):
        os.remove(os.path.join(CORPUS, old))
    for name, value in fx:
        if name.startswith(("key_", "cert_")) and not name.endswith(("_critical", "_extensions")):
            with open(os.path.join(CORPUS, name), "wb") as f:
                f.write(value)
    print(f"wrote {len(fx)} fixtures to {os.path.relpath(OUT, ROOT)}", file=sys.stderr)


if __name__ == "__main__":
    main()
