#define OPENSSL_SUPPRESS_DEPRECATED
// Token-backed RSA: a copy of libcrypto's default RSA method whose private
// operations go to the token, and the wrap that binds an RSA object to its
// token key.
#include <openssl/rsa.h>

#include "log/log.h"
#include "pkcs11/ssh-pkcs11-internal.h"
#include "util/deleters.h"

VARDEK_DELETER(RSA_METHOD, RSA_meth_free);

namespace {

RSA_METHOD *pkcs11_rsa_method = nullptr;
int pkcs11_rsa_ex_index = -1;

int pkcs11_rsa_private_encrypt(int flen, const unsigned char *from, unsigned char *to, RSA *rsa,
                               int padding) noexcept {
  (void)padding;  // the token pads (CKM_RSA_PKCS)
  auto *k11 = static_cast<pkcs11_key *>(RSA_get_ex_data(rsa, pkcs11_rsa_ex_index));
  if (k11 == nullptr) {
    log_error("RSA_get_ex_data failed");
    return -1;
  }
  if (pkcs11_get_key(k11, CKM_RSA_PKCS) == -1) {
    log_error("pkcs11_get_key failed");
    return -1;
  }
  const CK_ULONG size = static_cast<CK_ULONG>(RSA_size(rsa));
  CK_ULONG tlen = size;
  if (pkcs11_sign_prepared(k11, from, static_cast<CK_ULONG>(flen), to, &tlen) != CKR_OK) {
    return -1;
  }
  // The output buffer holds RSA_size bytes; a longer answer is not a
  // signature this key can have made, and an empty one is none at all.
  if (tlen > size || tlen == 0) {
    log_error_f("bad signature length: %lu", tlen);
    return -1;
  }
  return static_cast<int>(tlen);
}

int pkcs11_rsa_private_decrypt(int flen, const unsigned char *from, unsigned char *to, RSA *rsa,
                               int padding) noexcept {
  (void)flen;
  (void)from;
  (void)to;
  (void)rsa;
  (void)padding;
  return -1;
}

int pkcs11_rsa_start_wrapper() {
  if (pkcs11_rsa_method != nullptr) return 0;
  vardek::unique_ptr<RSA_METHOD> meth(RSA_meth_dup(RSA_get_default_method()));
  if (!meth) return -1;
  if (pkcs11_rsa_ex_index < 0) {
    int idx = CRYPTO_get_ex_new_index(CRYPTO_EX_INDEX_RSA, 0, const_cast<char *>("ssh-pkcs11-rsa"),
                                      nullptr, nullptr, pkcs11_k11_free);
    if (idx == -1) return -1;
    pkcs11_rsa_ex_index = idx;
  }
  if (!RSA_meth_set1_name(meth.get(), "pkcs11") ||
      !RSA_meth_set_priv_enc(meth.get(), pkcs11_rsa_private_encrypt) ||
      !RSA_meth_set_priv_dec(meth.get(), pkcs11_rsa_private_decrypt)) {
    log_error_f("setup pkcs11 method failed");
    return -1;
  }
  pkcs11_rsa_method = meth.release();
  return 0;
}

}  // namespace

pkcs11_key *pkcs11_rsa_key_of(const RSA *rsa) {
  if (pkcs11_rsa_ex_index < 0 || rsa == nullptr) return nullptr;
  return static_cast<pkcs11_key *>(RSA_get_ex_data(rsa, pkcs11_rsa_ex_index));
}

int pkcs11_rsa_wrap(pkcs11_provider *provider, CK_ULONG slotidx, const CK_ATTRIBUTE *keyid_attrib,
                    const CK_ATTRIBUTE *label_attrib, RSA *rsa) {
  if (pkcs11_rsa_start_wrapper() == -1) return -1;
  pkcs11_key *k11 = pkcs11_key_new(provider, slotidx, keyid_attrib, label_attrib);
  RSA_set_method(rsa, pkcs11_rsa_method);
  RSA_set_ex_data(rsa, pkcs11_rsa_ex_index, k11);
  return 0;
}
