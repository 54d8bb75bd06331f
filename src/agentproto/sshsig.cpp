#include "agentproto/sshsig.h"

#include <openssl/ecdsa.h>
#include <openssl/obj_mac.h>

#include <array>

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

constexpr SshCurve curves[] = {
    {"nistp256", NID_X9_62_prime256v1, "prime256v1", 256, EVP_sha256},
    {"nistp384", NID_secp384r1, "secp384r1", 384, EVP_sha384},
    {"nistp521", NID_secp521r1, "secp521r1", 521, EVP_sha512},
};

}  // namespace

const SshCurve *ssh_curve_named(std::string_view ssh) {
  for (const SshCurve &c : curves)
    if (c.ssh == ssh) return &c;
  return nullptr;
}

const SshCurve *ssh_curve_of_nid(int nid) {
  for (const SshCurve &c : curves)
    if (c.nid == nid) return &c;
  return nullptr;
}

Bytes digest(const EVP_MD *md, const Bytes &data) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int n = 0;
  if (EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr) != 1) return {};
  out.resize(n);
  return out;
}

Bytes digest_info(const EVP_MD *md, const Bytes &data) {
  Bytes out;
  switch (EVP_MD_get_type(md)) {
    case NID_sha1:
      out.assign(sha1_prefix.begin(), sha1_prefix.end());
      break;
    case NID_sha256:
      out.assign(sha256_prefix.begin(), sha256_prefix.end());
      break;
    case NID_sha512:
      out.assign(sha512_prefix.begin(), sha512_prefix.end());
      break;
    default:
      return {};
  }
  Bytes d = digest(md, data);
  if (d.empty()) return {};
  out.insert(out.end(), d.begin(), d.end());
  return out;
}

void put_mpint(Bytes &b, const BIGNUM *v) {
  Bytes m(static_cast<size_t>(BN_num_bytes(v)));
  BN_bn2bin(v, m.data());
  if (!m.empty() && (m[0] & 0x80) != 0) m.insert(m.begin(), 0);
  put_string(b, m);
}

std::optional<Bytes> rsa_signature_block(const Bytes &raw, size_t modulus_bytes) {
  if (raw.empty() || raw.size() > modulus_bytes) return std::nullopt;
  Bytes sig(modulus_bytes - raw.size(), 0);
  sig.insert(sig.end(), raw.begin(), raw.end());
  return sig;
}

std::optional<Bytes> ecdsa_signature_pair(const Bytes &der) {
  const unsigned char *p = der.data();
  vardek::unique_ptr<ECDSA_SIG> es(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())));
  if (!es || p != der.data() + der.size()) return std::nullopt;
  Bytes pair;
  put_mpint(pair, ECDSA_SIG_get0_r(es.get()));
  put_mpint(pair, ECDSA_SIG_get0_s(es.get()));
  return pair;
}

}  // namespace vardek::agent
