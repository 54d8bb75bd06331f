#define OPENSSL_SUPPRESS_DEPRECATED
// DSA keys: "ssh-dss" public keys and their SHA-1 signatures (r and s as two
// 20-byte halves), on libcrypto DSA handles.
#include <openssl/core_names.h>
#include <openssl/dsa.h>

#include <cstdlib>
#include <cstring>

#include "key/sshkey-internal.h"
#include "log/ssherr.h"
#include "util/ossl_legacy_ptr.h"
#include "util/ossl_ptr.h"

#define INTBLOB_LEN 20
#define SIGBLOB_LEN (size_t{2} * INTBLOB_LEN)

int ssh_create_evp_dss(const sshkey *k, EVP_PKEY **pkeyp) {
  *pkeyp = nullptr;
  if (k == nullptr || k->dsa == nullptr) return SSH_ERR_INVALID_ARGUMENT;
  vardek::unique_ptr<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
  vardek::unique_ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr));
  if (bld == nullptr || ctx == nullptr) return SSH_ERR_ALLOCATION_FAILED;

  const BIGNUM *p = nullptr, *q = nullptr, *g = nullptr;
  const BIGNUM *pub = nullptr, *priv = nullptr;
  DSA_get0_pqg(k->dsa, &p, &q, &g);
  DSA_get0_key(k->dsa, &pub, &priv);
  const struct {
    const BIGNUM *bn;
    const char *param;
  } params[] = {
      {p, OSSL_PKEY_PARAM_FFC_P},     {q, OSSL_PKEY_PARAM_FFC_Q},       {g, OSSL_PKEY_PARAM_FFC_G},
      {pub, OSSL_PKEY_PARAM_PUB_KEY}, {priv, OSSL_PKEY_PARAM_PRIV_KEY},
  };
  for (const auto &x : params) {
    if (x.bn != nullptr && OSSL_PARAM_BLD_push_BN(bld.get(), x.param, x.bn) != 1)
      return SSH_ERR_LIBCRYPTO_FAILED;
  }
  return sshkey_create_evp(bld.get(), ctx.get(), pkeyp);
}

namespace {

int ssh_dss_alloc(sshkey *k) {
  if ((k->dsa = DSA_new()) == nullptr) return SSH_ERR_ALLOCATION_FAILED;
  return 0;
}

void ssh_dss_cleanup(sshkey *k) {
  DSA_free(k->dsa);
  k->dsa = nullptr;
}

int ssh_dss_equal(const sshkey *a, const sshkey *b) {
  if (a->dsa == nullptr || b->dsa == nullptr) return 0;
  const BIGNUM *a_p = nullptr, *a_q = nullptr, *a_g = nullptr, *a_pub = nullptr;
  const BIGNUM *b_p = nullptr, *b_q = nullptr, *b_g = nullptr, *b_pub = nullptr;
  DSA_get0_pqg(a->dsa, &a_p, &a_q, &a_g);
  DSA_get0_pqg(b->dsa, &b_p, &b_q, &b_g);
  DSA_get0_key(a->dsa, &a_pub, nullptr);
  DSA_get0_key(b->dsa, &b_pub, nullptr);
  if (a_p == nullptr || b_p == nullptr || a_q == nullptr || b_q == nullptr || a_g == nullptr ||
      b_g == nullptr || a_pub == nullptr || b_pub == nullptr)
    return 0;
  return BN_cmp(a_p, b_p) == 0 && BN_cmp(a_q, b_q) == 0 && BN_cmp(a_g, b_g) == 0 &&
         BN_cmp(a_pub, b_pub) == 0;
}

int ssh_dss_serialize_public(const sshkey *key, sshbuf *b, int /*opts*/) {
  if (key->dsa == nullptr) return SSH_ERR_INVALID_ARGUMENT;
  const BIGNUM *p = nullptr, *q = nullptr, *g = nullptr, *pub = nullptr;
  DSA_get0_pqg(key->dsa, &p, &q, &g);
  DSA_get0_key(key->dsa, &pub, nullptr);
  if (p == nullptr || q == nullptr || g == nullptr || pub == nullptr)
    return SSH_ERR_UNEXPECTED_INTERNAL;
  for (const BIGNUM *bn : {p, q, g, pub}) {
    if (int r = sshbuf_put_bignum2(b, bn); r != 0) return r;
  }
  return 0;
}

int ssh_dss_deserialize_public(const char * /*ktype*/, sshbuf *b, sshkey *key) {
  vardek::unique_ptr<BIGNUM> p, q, g, pub;
  for (auto *bn : {&p, &q, &g, &pub}) {
    BIGNUM *raw = nullptr;
    if (sshbuf_get_bignum2(b, &raw) != 0) return SSH_ERR_INVALID_FORMAT;
    bn->reset(raw);
  }
  if (DSA_set0_pqg(key->dsa, p.get(), q.get(), g.get()) != 1) return SSH_ERR_LIBCRYPTO_FAILED;
  (void)p.release();  // now owned by the DSA handle
  (void)q.release();
  (void)g.release();
  if (DSA_set0_key(key->dsa, pub.get(), nullptr) != 1) return SSH_ERR_LIBCRYPTO_FAILED;
  (void)pub.release();
  return 0;
}

int ssh_dss_verify(const sshkey *key, const unsigned char *sig, size_t siglen,
                   const unsigned char *data, size_t dlen, const char * /*alg*/,
                   unsigned int /*compat*/, void ** /*detailsp*/) {
  if (key == nullptr || key->dsa == nullptr || sig == nullptr || siglen == 0 ||
      sshkey_plain_type(key->type) != KEY_TYPE_DSA)
    return SSH_ERR_INVALID_ARGUMENT;

  vardek::unique_ptr<sshbuf> b(sshbuf_from(sig, siglen));
  if (b == nullptr) return SSH_ERR_ALLOCATION_FAILED;
  char *raw_type = nullptr;
  vardek::wiped_bytes<> sigblob;
  if (sshbuf_get_cstring(b.get(), &raw_type, nullptr) != 0) return SSH_ERR_INVALID_FORMAT;
  vardek::malloc_ptr<char> ktype(raw_type);
  if (sshbuf_get_string(b.get(), &sigblob.p, &sigblob.len) != 0) return SSH_ERR_INVALID_FORMAT;
  if (std::strcmp("ssh-dss", ktype.get()) != 0) return SSH_ERR_KEY_TYPE_DIFFERS;
  if (sshbuf_len(b.get()) != 0) return SSH_ERR_TRAILING_BYTES;
  if (sigblob.len != SIGBLOB_LEN) return SSH_ERR_INVALID_FORMAT;

  vardek::unique_ptr<BIGNUM> r(BN_new()), s(BN_new());
  vardek::unique_ptr<DSA_SIG> dsig(DSA_SIG_new());
  if (r == nullptr || s == nullptr || dsig == nullptr) return SSH_ERR_ALLOCATION_FAILED;
  if (BN_bin2bn(sigblob.p, INTBLOB_LEN, r.get()) == nullptr ||
      BN_bin2bn(sigblob.p + INTBLOB_LEN, INTBLOB_LEN, s.get()) == nullptr)
    return SSH_ERR_LIBCRYPTO_FAILED;
  if (DSA_SIG_set0(dsig.get(), r.get(), s.get()) != 1) return SSH_ERR_LIBCRYPTO_FAILED;
  (void)r.release();  // now owned by the DSA_SIG
  (void)s.release();

  vardek::openssl_wiped_bytes der;
  const int derlen = i2d_DSA_SIG(dsig.get(), &der.p);
  if (derlen <= 0) return SSH_ERR_LIBCRYPTO_FAILED;
  der.len = static_cast<size_t>(derlen);

  EVP_PKEY *raw_pkey = nullptr;
  if (int ret = ssh_create_evp_dss(key, &raw_pkey); ret != 0) return ret;
  vardek::unique_ptr<EVP_PKEY> pkey(raw_pkey);
  return sshkey_verify_signature(pkey.get(), SSH_DIGEST_SHA1, data, dlen, der.p, der.len);
}

}  // namespace

const sshkey_type_ops ssh_dss_ops = {
    .alloc = ssh_dss_alloc,
    .cleanup = ssh_dss_cleanup,
    .equal = ssh_dss_equal,
    .serialize_public = ssh_dss_serialize_public,
    .deserialize_public = ssh_dss_deserialize_public,
    .verify = ssh_dss_verify,
};
