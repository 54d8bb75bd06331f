// Ed25519 signature opening (RFC 8032 verification), done by libcrypto.
#include <openssl/evp.h>

#include <cstring>

#include "key/sshkey-internal.h"
#include "util/ossl_ptr.h"

#define ED25519_SIG_SZ 64

int crypto_sign_ed25519_open(unsigned char *m, unsigned long long *mlen, const unsigned char *sm,
                             unsigned long long smlen, const unsigned char *pk) {
  *mlen = 0;
  if (smlen < ED25519_SIG_SZ) return -1;
  vardek::unique_ptr<EVP_PKEY> pkey(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, pk, ED25519_PK_SZ));
  vardek::unique_ptr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  if (pkey == nullptr || ctx == nullptr) return -1;
  if (EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) return -1;
  size_t len = static_cast<size_t>(smlen - ED25519_SIG_SZ);
  if (EVP_DigestVerify(ctx.get(), sm, ED25519_SIG_SZ, sm + ED25519_SIG_SZ, len) != 1) return -1;
  if (len != 0) std::memmove(m, sm + ED25519_SIG_SZ, len);
  *mlen = len;
  return 0;
}
