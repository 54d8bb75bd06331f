#include "client/signing.h"

#include <openssl/rsa.h>

#include <array>

#include "agentproto/agentproto.h"

namespace vardek::client {

namespace {

// DER of DigestInfo up to the digest (RFC 8017, section 9.2, note 1).
using DigestInfoPrefix = std::array<uint8_t, 19>;
constexpr DigestInfoPrefix sha256_prefix = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                            0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                            0x01, 0x05, 0x00, 0x04, 0x20};
constexpr DigestInfoPrefix sha512_prefix = {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                            0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                            0x03, 0x05, 0x00, 0x04, 0x40};

Bytes digest(const EVP_MD *md, const Bytes &data) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int n = 0;
  if (EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr) != 1) return {};
  out.resize(n);
  return out;
}

void put_mpint(Bytes &b, const BIGNUM *v) {
  Bytes m(static_cast<size_t>(BN_num_bytes(v)));
  BN_bn2bin(v, m.data());
  if (!m.empty() && (m[0] & 0x80) != 0) m.insert(m.begin(), 0);
  agent::put_string(b, m);
}

bool verify(const PublicKey &key, const EVP_MD *md, const Bytes &data, const Bytes &sig) {
  vardek::unique_ptr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX *pctx = nullptr;
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), &pctx, md, nullptr, key.pkey.get()) != 1)
    return false;
  if (key.family == KeyFamily::rsa && EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1)
    return false;
  return EVP_DigestVerify(ctx.get(), sig.data(), sig.size(), data.data(), data.size()) == 1;
}

}  // namespace

std::optional<SignPlan> plan_signature(const PublicKey &key, std::string_view alg,
                                       const Bytes &data, std::string &why) {
  SignPlan p;
  if (key.family == KeyFamily::rsa) {
    if (alg.empty()) alg = default_rsa_alg;
    const DigestInfoPrefix *prefix;
    if (alg == "rsa-sha2-256") {
      p.md = EVP_sha256();
      prefix = &sha256_prefix;
    } else if (alg == "rsa-sha2-512") {
      p.md = EVP_sha512();
      prefix = &sha512_prefix;
    } else {
      why = "unknown RSA signature algorithm (use rsa-sha2-256 or rsa-sha2-512)";
      return std::nullopt;
    }
    p.alg = alg;
    p.to_send.assign(prefix->begin(), prefix->end());
    Bytes d = digest(p.md, data);
    p.to_send.insert(p.to_send.end(), d.begin(), d.end());
  } else if (key.family == KeyFamily::ecdsa) {
    if (!alg.empty()) {
      why = "--alg applies to RSA keys only; an ECDSA key's hash is fixed by its curve";
      return std::nullopt;
    }
    p.alg = key.type;
    p.md = key.bits <= 256 ? EVP_sha256() : key.bits <= 384 ? EVP_sha384() : EVP_sha512();
    p.to_send = digest(p.md, data);
  } else {
    why = "vardek cannot sign with " + key.type + " keys";
    return std::nullopt;
  }
  if (p.to_send.empty()) {
    why = "digest failed";
    return std::nullopt;
  }
  return p;
}

std::optional<Bytes> finish_signature(const PublicKey &key, const SignPlan &plan, const Bytes &data,
                                      const Bytes &raw, std::string &why) {
  Bytes blob;
  agent::put_string(blob, plan.alg);
  if (key.family == KeyFamily::rsa) {
    // A token may drop leading zero bytes; the SSH form is as long as the
    // modulus.
    size_t len = static_cast<size_t>(EVP_PKEY_get_size(key.pkey.get()));
    if (raw.size() > len) {
      why = "the signature is longer than the modulus";
      return std::nullopt;
    }
    Bytes sig(len - raw.size(), 0);
    sig.insert(sig.end(), raw.begin(), raw.end());
    if (!verify(key, plan.md, data, sig)) {
      why = "the signature does not verify with the public key";
      return std::nullopt;
    }
    agent::put_string(blob, sig);
    return blob;
  }
  const unsigned char *p = raw.data();
  vardek::unique_ptr<ECDSA_SIG> es(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(raw.size())));
  if (!es || p != raw.data() + raw.size()) {
    why = "the signature is not a DER (r, s) pair";
    return std::nullopt;
  }
  if (!verify(key, plan.md, data, raw)) {
    why = "the signature does not verify with the public key";
    return std::nullopt;
  }
  Bytes inner;
  put_mpint(inner, ECDSA_SIG_get0_r(es.get()));
  put_mpint(inner, ECDSA_SIG_get0_s(es.get()));
  agent::put_string(blob, inner);
  return blob;
}

}  // namespace vardek::client
