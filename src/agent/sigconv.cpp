#include "agent/sigconv.h"

#include <openssl/ecdsa.h>

#include <array>
#include <string_view>

#include "util/ossl_ptr.h"

namespace vardek::agent {

namespace {

// DER of DigestInfo up to the digest (RFC 8017, section 9.2, note 1).
constexpr std::array<uint8_t, 15> sha1_prefix = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                                 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
constexpr std::array<uint8_t, 19> sha256_prefix = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                                   0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                                   0x01, 0x05, 0x00, 0x04, 0x20};
constexpr std::array<uint8_t, 19> sha512_prefix = {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                                   0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                                   0x03, 0x05, 0x00, 0x04, 0x40};

struct Curve {
  std::string_view name;
  const EVP_MD *(*md)();
};

constexpr Curve curves[] = {
    {"nistp256", EVP_sha256},
    {"nistp384", EVP_sha384},
    {"nistp521", EVP_sha512},
};

// The length of a positive mpint's magnitude; 0 when it is not one.
size_t mpint_bytes(const Bytes &v) {
  if (v.empty() || (v[0] & 0x80) != 0) return 0;
  size_t skip = 0;
  while (skip < v.size() && v[skip] == 0) skip++;
  return v.size() - skip;
}

void put_mpint(Bytes &b, const BIGNUM *v) {
  Bytes m(static_cast<size_t>(BN_num_bytes(v)));
  BN_bn2bin(v, m.data());
  if (!m.empty() && (m[0] & 0x80) != 0) m.insert(m.begin(), 0);
  put_string(b, m);
}

Bytes digest(const EVP_MD *md, const Bytes &data) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int n = 0;
  if (EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr) != 1) return {};
  out.resize(n);
  return out;
}

}  // namespace

std::optional<KeyShape> key_shape(const Bytes &blob) {
  Reader r(blob);
  KeyShape k;
  if (!r.string(k.type)) return std::nullopt;
  if (k.type == "ssh-rsa") {
    Bytes e, n;
    if (!r.string(e) || !r.string(n) || r.left() != 0) return std::nullopt;
    k.kind = KeyKind::rsa;
    k.modulus_bytes = mpint_bytes(n);
    if (mpint_bytes(e) == 0 || k.modulus_bytes == 0) return std::nullopt;
    return k;
  }
  std::string curve;
  Bytes point;
  if (!k.type.starts_with("ecdsa-sha2-") || !r.string(curve) || !r.string(point) || r.left() != 0 ||
      k.type != "ecdsa-sha2-" + curve)
    return std::nullopt;
  for (const Curve &c : curves) {
    if (c.name == curve) {
      k.kind = KeyKind::ecdsa;
      k.md = c.md();
      return k;
    }
  }
  return std::nullopt;
}

std::optional<SignPlan> plan_sign(const KeyShape &key, const Bytes &data, uint32_t flags) {
  SignPlan p;
  if (key.kind == KeyKind::ecdsa) {
    p.alg = key.type;
    p.to_send = digest(key.md, data);
  } else {
    const EVP_MD *md;
    if ((flags & SIGN_FLAG_RSA_SHA2_256) != 0) {
      p.alg = "rsa-sha2-256";
      md = EVP_sha256();
      p.to_send.assign(sha256_prefix.begin(), sha256_prefix.end());
    } else if ((flags & SIGN_FLAG_RSA_SHA2_512) != 0) {
      p.alg = "rsa-sha2-512";
      md = EVP_sha512();
      p.to_send.assign(sha512_prefix.begin(), sha512_prefix.end());
    } else {
      p.alg = "ssh-rsa";
      md = EVP_sha1();
      p.to_send.assign(sha1_prefix.begin(), sha1_prefix.end());
    }
    Bytes d = digest(md, data);
    if (d.empty()) return std::nullopt;
    p.to_send.insert(p.to_send.end(), d.begin(), d.end());
  }
  if (p.to_send.empty()) return std::nullopt;
  return p;
}

std::optional<Bytes> ssh_signature(const KeyShape &key, const SignPlan &plan, const Bytes &raw) {
  Bytes blob;
  put_string(blob, plan.alg);
  if (key.kind == KeyKind::rsa) {
    // A token may drop leading zero bytes; the SSH form is as long as the
    // modulus.
    if (raw.empty() || raw.size() > key.modulus_bytes) return std::nullopt;
    Bytes sig(key.modulus_bytes - raw.size(), 0);
    sig.insert(sig.end(), raw.begin(), raw.end());
    put_string(blob, sig);
    return blob;
  }
  const unsigned char *p = raw.data();
  vardek::unique_ptr<ECDSA_SIG> es(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(raw.size())));
  if (!es || p != raw.data() + raw.size()) return std::nullopt;
  Bytes inner;
  put_mpint(inner, ECDSA_SIG_get0_r(es.get()));
  put_mpint(inner, ECDSA_SIG_get0_s(es.get()));
  put_string(blob, inner);
  return blob;
}

}  // namespace vardek::agent
