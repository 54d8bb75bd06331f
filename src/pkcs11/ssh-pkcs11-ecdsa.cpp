#define OPENSSL_SUPPRESS_DEPRECATED
// Token-backed ECDSA: an EC_KEY method whose signature operation goes to the
// token and turns its raw r||s answer into an ECDSA_SIG, and the wrap that
// binds an EC_KEY to its token key.
#include <openssl/ec.h>

#include <cstdlib>

#include "log/log.h"
#include "pkcs11/ssh-pkcs11-internal.h"
#include "util/deleters.h"
#include "util/ossl_ptr.h"
#include "util/xmalloc.h"

namespace {

EC_KEY_METHOD *pkcs11_ec_key_method = nullptr;
int pkcs11_ec_ex_index = -1;

// Byte length of the key's group order: r and s each take exactly this much
// in the token's raw answer. 0 when the key has no usable group.
CK_ULONG order_bytes(const EC_KEY *ec) {
  const EC_GROUP *group = EC_KEY_get0_group(ec);
  const BIGNUM *order = group != nullptr ? EC_GROUP_get0_order(group) : nullptr;
  int n = order != nullptr ? BN_num_bytes(order) : 0;
  return n > 0 ? static_cast<CK_ULONG>(n) : 0;
}

// r and s must each lie in [1, n - 1]: anything else is no signature, and a
// value wider than the order would make the DER encoding outgrow the buffer
// that ECDSA_size sized for it.
bool in_signature_range(const BIGNUM *v, const EC_KEY *ec) {
  const BIGNUM *order = EC_GROUP_get0_order(EC_KEY_get0_group(ec));
  return !BN_is_zero(v) && !BN_is_negative(v) && BN_cmp(v, order) < 0;
}

ECDSA_SIG *ecdsa_do_sign(const unsigned char *dgst, int dgst_len, const BIGNUM *inv,
                         const BIGNUM *rp, EC_KEY *ec) noexcept {
  (void)inv;
  (void)rp;
  auto *k11 = static_cast<pkcs11_key *>(EC_KEY_get_ex_data(ec, pkcs11_ec_ex_index));
  if (k11 == nullptr) {
    ossl_error("EC_KEY_get_ex_data failed for ec");
    return nullptr;
  }
  if (pkcs11_get_key(k11, CKM_ECDSA) == -1) {
    log_error("pkcs11_get_key failed");
    return nullptr;
  }

  int size = ECDSA_size(ec);
  const CK_ULONG bufsize = size > 0 ? static_cast<CK_ULONG>(size) : 0;
  vardek::malloc_ptr<unsigned char> sig(static_cast<unsigned char *>(xmalloc(bufsize + 1)));
  CK_ULONG siglen = bufsize;
  if (pkcs11_sign_prepared(k11, dgst, static_cast<CK_ULONG>(dgst_len), sig.get(), &siglen) !=
      CKR_OK) {
    return nullptr;
  }
  // The raw form is r || s, each exactly as wide as the group order. Never
  // read past what the buffer holds, whatever length the token claims.
  const CK_ULONG half_len = order_bytes(ec);
  if (half_len == 0 || siglen != 2 * half_len || siglen > bufsize) {
    log_error_f("bad signature length: %lu", siglen);
    return nullptr;
  }
  vardek::unique_ptr<ECDSA_SIG> ret(ECDSA_SIG_new());
  if (!ret) {
    log_error("ECDSA_SIG_new failed");
    return nullptr;
  }
  int half = static_cast<int>(siglen / 2);
  vardek::unique_ptr<BIGNUM> r(BN_bin2bn(sig.get(), half, nullptr));
  vardek::unique_ptr<BIGNUM> s(BN_bin2bn(sig.get() + half, half, nullptr));
  if (!r || !s) {
    ossl_error("BN_bin2bn failed");
    return nullptr;
  }
  if (!in_signature_range(r.get(), ec) || !in_signature_range(s.get(), ec)) {
    log_error_f("signature value out of range");
    return nullptr;
  }
  if (ECDSA_SIG_set0(ret.get(), r.get(), s.get()) != 1) {
    log_error_f("ECDSA_SIG_set0 failed");
    return nullptr;
  }
  // ECDSA_SIG_set0 took r and s over.
  (void)r.release();
  (void)s.release();
  return ret.release();
}

int pkcs11_ecdsa_start_wrapper() {
  if (pkcs11_ec_key_method != nullptr) return 0;
  if (pkcs11_ec_ex_index < 0) {
    int idx =
        CRYPTO_get_ex_new_index(CRYPTO_EX_INDEX_EC_KEY, 0, const_cast<char *>("ssh-pkcs11-ecdsa"),
                                nullptr, nullptr, pkcs11_k11_free);
    if (idx == -1) return -1;
    pkcs11_ec_ex_index = idx;
  }
  EC_KEY_METHOD *meth = EC_KEY_METHOD_new(EC_KEY_OpenSSL());
  if (meth == nullptr) return -1;
  int (*orig_sign)(int, const unsigned char *, int, unsigned char *, unsigned int *, const BIGNUM *,
                   const BIGNUM *, EC_KEY *) = nullptr;
  EC_KEY_METHOD_get_sign(meth, &orig_sign, nullptr, nullptr);
  EC_KEY_METHOD_set_sign(meth, orig_sign, nullptr, ecdsa_do_sign);
  pkcs11_ec_key_method = meth;
  return 0;
}

}  // namespace

pkcs11_key *pkcs11_ecdsa_key_of(const EC_KEY *ec) {
  if (pkcs11_ec_ex_index < 0 || ec == nullptr) return nullptr;
  return static_cast<pkcs11_key *>(EC_KEY_get_ex_data(ec, pkcs11_ec_ex_index));
}

int pkcs11_ecdsa_wrap(pkcs11_provider *provider, CK_ULONG slotidx, const CK_ATTRIBUTE *keyid_attrib,
                      const CK_ATTRIBUTE *label_attrib, EC_KEY *ec) {
  if (pkcs11_ecdsa_start_wrapper() == -1) return -1;
  pkcs11_key *k11 = pkcs11_key_new(provider, slotidx, keyid_attrib, label_attrib);
  EC_KEY_set_method(ec, pkcs11_ec_key_method);
  EC_KEY_set_ex_data(ec, pkcs11_ec_ex_index, k11);
  return 0;
}
