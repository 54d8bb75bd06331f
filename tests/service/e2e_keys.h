// Independent views of test keys for the request tests: the SSH blob a
// public key must have, and signature checks done with libcrypto's EVP
// interface rather than through vardek's code.
#ifndef VARDEK_TESTS_SERVICE_E2E_KEYS_H
#define VARDEK_TESTS_SERVICE_E2E_KEYS_H

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <cstdio>
#include <memory>
#include <string>

#include "agentproto/agentproto.h"

namespace vardek::test {

struct PkeyFree {
  void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// Public or private key from a PEM file; null when it cannot be read.
inline Pkey load_pem(const std::string &path) {
  std::FILE *f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return nullptr;
  EVP_PKEY *k = PEM_read_PUBKEY(f, nullptr, nullptr, nullptr);
  if (k == nullptr) {
    std::rewind(f);
    k = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
  }
  std::fclose(f);
  return Pkey(k);
}

inline void put_mpint(agent::Bytes &b, const BIGNUM *bn) {
  agent::Bytes mag(static_cast<size_t>(BN_num_bytes(bn)));
  BN_bn2bin(bn, mag.data());
  if (!mag.empty() && (mag[0] & 0x80) != 0) mag.insert(mag.begin(), 0);
  agent::put_string(b, mag);
}

// The SSH public key blob of an RSA or P-256/384/521 key; empty on failure.
inline agent::Bytes ssh_blob(EVP_PKEY *k) {
  agent::Bytes b;
  if (EVP_PKEY_is_a(k, "RSA")) {
    BIGNUM *n = nullptr, *e = nullptr;
    if (!EVP_PKEY_get_bn_param(k, OSSL_PKEY_PARAM_RSA_N, &n) ||
        !EVP_PKEY_get_bn_param(k, OSSL_PKEY_PARAM_RSA_E, &e))
      return {};
    agent::put_string(b, std::string_view("ssh-rsa"));
    put_mpint(b, e);
    put_mpint(b, n);
    BN_free(n);
    BN_free(e);
    return b;
  }
  char group[64];
  size_t glen = 0;
  if (!EVP_PKEY_get_utf8_string_param(k, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &glen))
    return {};
  std::string g(group, glen), curve;
  if (g == "prime256v1" || g == "P-256")
    curve = "nistp256";
  else if (g == "secp384r1" || g == "P-384")
    curve = "nistp384";
  else if (g == "secp521r1" || g == "P-521")
    curve = "nistp521";
  else
    return {};
  unsigned char point[200];
  size_t plen = 0;
  if (!EVP_PKEY_get_octet_string_param(k, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &plen))
    return {};
  agent::put_string(b, "ecdsa-sha2-" + curve);
  agent::put_string(b, curve);
  agent::put_string(b, point, plen);
  return b;
}

// SHA-256 DigestInfo of `msg`: what an agent sends for an RSA signature.
inline agent::Bytes sha256_digest_info(std::string_view msg) {
  agent::Bytes di = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                     0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
  unsigned char h[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char *>(msg.data()), msg.size(), h);
  di.insert(di.end(), h, h + sizeof h);
  return di;
}

inline agent::Bytes sha256(std::string_view msg) {
  unsigned char h[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char *>(msg.data()), msg.size(), h);
  return agent::Bytes(h, h + sizeof h);
}

// RSA: `sig` is a PKCS#1 v1.5 signature block whose payload is exactly
// `tbs`. ECDSA: `sig` is a DER signature over the digest `tbs`.
inline bool verify(EVP_PKEY *k, const agent::Bytes &tbs, const agent::Bytes &sig) {
  std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX *)> ctx(EVP_PKEY_CTX_new(k, nullptr),
                                                              EVP_PKEY_CTX_free);
  if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1) return false;
  if (EVP_PKEY_is_a(k, "RSA") && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1)
    return false;
  return EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), tbs.data(), tbs.size()) == 1;
}

}  // namespace vardek::test

#endif
