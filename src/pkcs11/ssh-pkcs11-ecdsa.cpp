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

// Raw signature lengths accepted: r and s of equal length, P-256 to P-521.
constexpr CK_ULONG kMinRawSig = 64;
constexpr CK_ULONG kMaxRawSig = 132;

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
  CK_FUNCTION_LIST *f = k11->provider->module->function_list;
  pkcs11_slot *si = &k11->provider->module->slotinfo[k11->slot_index];

  int size = ECDSA_size(ec);
  const CK_ULONG bufsize = size > 0 ? static_cast<CK_ULONG>(size) : 0;
  vardek::malloc_ptr<unsigned char> sig(static_cast<unsigned char *>(xmalloc(bufsize + 1)));
  CK_ULONG siglen = bufsize;
  CK_RV rv = f->C_Sign(si->session, const_cast<CK_BYTE *>(dgst), static_cast<CK_ULONG>(dgst_len),
                       sig.get(), &siglen);
  if (rv != CKR_OK) {
    log_error("C_Sign failed: %lu", rv);
    return nullptr;
  }
  // Never read past what the buffer holds, whatever length the token claims.
  if (siglen < kMinRawSig || siglen > kMaxRawSig || siglen % 2 != 0 || siglen > bufsize) {
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
  if (ECDSA_SIG_set0(ret.get(), r.get(), s.get()) != 1) {
    log_error_f("ECDSA_SIG_set0 failed");
    return nullptr;
  }
  r.release();
  s.release();
  return ret.release();
}

int pkcs11_ecdsa_start_wrapper() {
  if (pkcs11_ec_key_method != nullptr) return 0;
  if (pkcs11_ec_ex_index < 0) {
    int idx = CRYPTO_get_ex_new_index(CRYPTO_EX_INDEX_EC_KEY, 0,
                                      const_cast<char *>("ssh-pkcs11-ecdsa"), nullptr, nullptr,
                                      pkcs11_k11_free);
    if (idx == -1) return -1;
    pkcs11_ec_ex_index = idx;
  }
  EC_KEY_METHOD *meth = EC_KEY_METHOD_new(EC_KEY_OpenSSL());
  if (meth == nullptr) return -1;
  int (*orig_sign)(int, const unsigned char *, int, unsigned char *, unsigned int *,
                   const BIGNUM *, const BIGNUM *, EC_KEY *) = nullptr;
  EC_KEY_METHOD_get_sign(meth, &orig_sign, nullptr, nullptr);
  EC_KEY_METHOD_set_sign(meth, orig_sign, nullptr, ecdsa_do_sign);
  pkcs11_ec_key_method = meth;
  return 0;
}

}  // namespace

int pkcs11_ecdsa_wrap(pkcs11_provider *provider, CK_ULONG slotidx,
                      const CK_ATTRIBUTE *keyid_attrib, const CK_ATTRIBUTE *label_attrib,
                      EC_KEY *ec) {
  if (pkcs11_ecdsa_start_wrapper() == -1) return -1;
  pkcs11_key *k11 = pkcs11_key_new(provider, slotidx, keyid_attrib, label_attrib);
  EC_KEY_set_method(ec, pkcs11_ec_key_method);
  EC_KEY_set_ex_data(ec, pkcs11_ec_ex_index, k11);
  return 0;
}
