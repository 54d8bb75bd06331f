#define OPENSSL_SUPPRESS_DEPRECATED
// RSA keys: "ssh-rsa" public keys and their signatures with SHA-1, SHA-256
// or SHA-512, on libcrypto RSA handles.
#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include <cstdlib>
#include <cstring>

#include "key/sshkey-internal.h"
#include "log/log.h"
#include "log/ssherr.h"
#include "util/ossl_legacy_ptr.h"
#include "util/ossl_ptr.h"

#define SSH_RSA_MINIMUM_MODULUS_SIZE 1024

int sshkey_check_rsa_length(const sshkey *k) {
  if (k == nullptr || k->rsa == nullptr ||
      (k->type != KEY_TYPE_RSA && k->type != KEY_TYPE_RSA_CERT))
    return 0;
  const BIGNUM *n = nullptr;
  RSA_get0_key(k->rsa, &n, nullptr, nullptr);
  // A handle without a modulus counts as zero bits.
  if (n == nullptr || BN_num_bits(n) < SSH_RSA_MINIMUM_MODULUS_SIZE)
    return SSH_ERR_INVALID_KEY_LENGTH;
  return 0;
}

int rsa_hash_id_from_ident(const char *ident) {
  if (std::strcmp(ident, "ssh-rsa") == 0) return SSH_DIGEST_SHA1;
  if (std::strcmp(ident, "rsa-sha2-256") == 0) return SSH_DIGEST_SHA256;
  if (std::strcmp(ident, "rsa-sha2-512") == 0) return SSH_DIGEST_SHA512;
  return -1;
}

int rsa_hash_id_from_keyname(const char *alg) {
  int r = rsa_hash_id_from_ident(alg);
  if (r != -1) return r;
  if (std::strcmp(alg, SSH_RSA_CERT_NAME) == 0) return SSH_DIGEST_SHA1;
  if (std::strcmp(alg, SSH_RSA_SHA256_CERT_NAME) == 0) return SSH_DIGEST_SHA256;
  if (std::strcmp(alg, SSH_RSA_SHA512_CERT_NAME) == 0) return SSH_DIGEST_SHA512;
  return -1;
}

int ssh_create_evp_rsa(const sshkey *k, EVP_PKEY **pkeyp) {
  *pkeyp = nullptr;
  if (k == nullptr || k->rsa == nullptr) return SSH_ERR_INVALID_ARGUMENT;
  vardek::unique_ptr<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
  vardek::unique_ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  if (bld == nullptr || ctx == nullptr) return SSH_ERR_ALLOCATION_FAILED;

  const BIGNUM *n = nullptr, *e = nullptr, *d = nullptr;
  const BIGNUM *p = nullptr, *q = nullptr;
  const BIGNUM *dmp1 = nullptr, *dmq1 = nullptr, *iqmp = nullptr;
  RSA_get0_key(k->rsa, &n, &e, &d);
  RSA_get0_factors(k->rsa, &p, &q);
  RSA_get0_crt_params(k->rsa, &dmp1, &dmq1, &iqmp);

  if ((n != nullptr && OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n) != 1) ||
      (e != nullptr && OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e) != 1) ||
      (d != nullptr && OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_D, d) != 1))
    return SSH_ERR_LIBCRYPTO_FAILED;

  EVP_PKEY *raw = nullptr;
  if (int r = sshkey_create_evp(bld.get(), ctx.get(), &raw); r != 0) return r;
  vardek::unique_ptr<EVP_PKEY> pkey(raw);

  // The private factors go in after the key exists.
  struct {
    const BIGNUM *bn;
    const char *param;
    const char *what;
  } const extra[] = {
      {p, OSSL_PKEY_PARAM_RSA_FACTOR1, "p"},
      {q, OSSL_PKEY_PARAM_RSA_FACTOR2, "q"},
      {dmp1, OSSL_PKEY_PARAM_RSA_EXPONENT1, "dmp1"},
      {dmq1, OSSL_PKEY_PARAM_RSA_EXPONENT2, "dmq1"},
      {iqmp, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, "iqmp"},
  };
  for (const auto &x : extra) {
    if (x.bn != nullptr && EVP_PKEY_set_bn_param(pkey.get(), x.param, x.bn) != 1) {
      log_debug2_f("failed to add '%s' param", x.what);
      return SSH_ERR_LIBCRYPTO_FAILED;
    }
  }
  *pkeyp = pkey.release();
  return 0;
}

namespace {

int ssh_rsa_alloc(sshkey *k) {
  if ((k->rsa = RSA_new()) == nullptr) return SSH_ERR_ALLOCATION_FAILED;
  return 0;
}

void ssh_rsa_cleanup(sshkey *k) {
  RSA_free(k->rsa);
  k->rsa = nullptr;
}

int ssh_rsa_equal(const sshkey *a, const sshkey *b) {
  if (a->rsa == nullptr || b->rsa == nullptr) return 0;
  const BIGNUM *a_n = nullptr, *a_e = nullptr, *b_n = nullptr, *b_e = nullptr;
  RSA_get0_key(a->rsa, &a_n, &a_e, nullptr);
  RSA_get0_key(b->rsa, &b_n, &b_e, nullptr);
  if (a_e == nullptr || b_e == nullptr || a_n == nullptr || b_n == nullptr) return 0;
  return BN_cmp(a_e, b_e) == 0 && BN_cmp(a_n, b_n) == 0;
}

int ssh_rsa_serialize_public(const sshkey *key, sshbuf *b, int /*opts*/) {
  if (key->rsa == nullptr) return SSH_ERR_INVALID_ARGUMENT;
  const BIGNUM *n = nullptr, *e = nullptr;
  RSA_get0_key(key->rsa, &n, &e, nullptr);
  if (n == nullptr || e == nullptr) return SSH_ERR_INVALID_ARGUMENT;
  if (int r = sshbuf_put_bignum2(b, e); r != 0) return r;
  return sshbuf_put_bignum2(b, n);
}

int ssh_rsa_deserialize_public(const char * /*ktype*/, sshbuf *b, sshkey *key) {
  BIGNUM *raw_e = nullptr, *raw_n = nullptr;
  if (sshbuf_get_bignum2(b, &raw_e) != 0) return SSH_ERR_INVALID_FORMAT;
  vardek::unique_ptr<BIGNUM> e(raw_e);
  if (sshbuf_get_bignum2(b, &raw_n) != 0) return SSH_ERR_INVALID_FORMAT;
  vardek::unique_ptr<BIGNUM> n(raw_n);
  if (RSA_set0_key(key->rsa, n.get(), e.get(), nullptr) != 1) return SSH_ERR_LIBCRYPTO_FAILED;
  (void)n.release();  // now owned by the RSA handle
  (void)e.release();
  return sshkey_check_rsa_length(key);
}

int ssh_rsa_verify(const sshkey *key, const unsigned char *sig, size_t siglen,
                   const unsigned char *data, size_t dlen, const char *alg, unsigned int /*compat*/,
                   void ** /*detailsp*/) {
  if (key == nullptr || key->rsa == nullptr || sig == nullptr || siglen == 0 ||
      sshkey_plain_type(key->type) != KEY_TYPE_RSA)
    return SSH_ERR_INVALID_ARGUMENT;
  const BIGNUM *n = nullptr;
  RSA_get0_key(key->rsa, &n, nullptr, nullptr);
  if (n == nullptr) return SSH_ERR_INVALID_ARGUMENT;
  if (RSA_bits(key->rsa) < SSH_RSA_MINIMUM_MODULUS_SIZE) return SSH_ERR_INVALID_KEY_LENGTH;

  vardek::unique_ptr<sshbuf> b(sshbuf_from(sig, siglen));
  if (b == nullptr) return SSH_ERR_ALLOCATION_FAILED;
  char *raw_type = nullptr;
  if (sshbuf_get_cstring(b.get(), &raw_type, nullptr) != 0) return SSH_ERR_INVALID_FORMAT;
  vardek::malloc_ptr<char> sigtype(raw_type);
  int hash_alg = rsa_hash_id_from_ident(sigtype.get());
  if (hash_alg == -1) return SSH_ERR_KEY_TYPE_DIFFERS;

  // A caller that asks for an algorithm gets that one (or SHA-1, which
  // accepts any); certificate checks ask for none.
  if (alg != nullptr && std::strcmp(alg, SSH_RSA_CERT_NAME) != 0) {
    int want_alg = rsa_hash_id_from_keyname(alg);
    if (want_alg == -1) return SSH_ERR_INVALID_ARGUMENT;
    if (hash_alg != want_alg && want_alg != SSH_DIGEST_SHA1) {
      log_debug1_f("Unexpected digest algorithm: got %d, wanted %d", hash_alg, want_alg);
      return SSH_ERR_INCORRECT_SIGNATURE;
    }
  }

  vardek::wiped_bytes<> sigblob;
  if (sshbuf_get_string(b.get(), &sigblob.p, &sigblob.len) != 0) return SSH_ERR_INVALID_FORMAT;
  if (sshbuf_len(b.get()) != 0) return SSH_ERR_TRAILING_BYTES;

  // libcrypto wants the value exactly as long as the modulus.
  size_t modlen = static_cast<size_t>(RSA_size(key->rsa));
  if (sigblob.len > modlen) return SSH_ERR_KEY_BITS_DIFFER;
  if (sigblob.len < modlen) {
    auto *grown = static_cast<unsigned char *>(std::calloc(1, modlen));
    if (grown == nullptr) return SSH_ERR_ALLOCATION_FAILED;
    std::memcpy(grown + (modlen - sigblob.len), sigblob.p, sigblob.len);
    sigblob.reset();
    sigblob.p = grown;
    sigblob.len = modlen;
  }

  EVP_PKEY *raw = nullptr;
  if (int r = ssh_create_evp_rsa(key, &raw); r != 0) return r;
  vardek::unique_ptr<EVP_PKEY> pkey(raw);
  int size = EVP_PKEY_get_size(pkey.get());
  if (size <= 0 || size > SSHBUF_MAX_BIGNUM || sigblob.len == 0 ||
      sigblob.len > static_cast<size_t>(size))
    return SSH_ERR_INVALID_ARGUMENT;
  return sshkey_verify_signature(pkey.get(), hash_alg, data, dlen, sigblob.p, sigblob.len);
}

}  // namespace

const sshkey_type_ops ssh_rsa_ops = {
    .alloc = ssh_rsa_alloc,
    .cleanup = ssh_rsa_cleanup,
    .equal = ssh_rsa_equal,
    .serialize_public = ssh_rsa_serialize_public,
    .deserialize_public = ssh_rsa_deserialize_public,
    .verify = ssh_rsa_verify,
};
