// The libcrypto bridge of the verify operations: hash identifiers to digests,
// one-shot SHA-256, EVP signature checks and key objects from parameters.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include "key/sshkey-internal.h"
#include "log/log.h"
#include "log/ssherr.h"
#include "util/ossl_ptr.h"

const EVP_MD *ssh_digest_to_md(int hash_alg) {
  switch (hash_alg) {
    case SSH_DIGEST_SHA1:
      return EVP_sha1();
    case SSH_DIGEST_SHA256:
      return EVP_sha256();
    case SSH_DIGEST_SHA384:
      return EVP_sha384();
    case SSH_DIGEST_SHA512:
      return EVP_sha512();
    default:
      return nullptr;
  }
}

int ssh_digest_memory(const void *m, size_t mlen, unsigned char *d, size_t dlen) {
  if (dlen < SSH_DIGEST_SHA256_LEN) return SSH_ERR_INVALID_ARGUMENT;
  unsigned int outlen = 0;
  if (EVP_Digest(m, mlen, d, &outlen, EVP_sha256(), nullptr) != 1) return SSH_ERR_LIBCRYPTO_FAILED;
  return 0;
}

int sshkey_verify_signature(EVP_PKEY *pkey, int hash_alg, const unsigned char *data, size_t datalen,
                            const unsigned char *sig, size_t siglen) {
  const EVP_MD *md = ssh_digest_to_md(hash_alg);
  if (md == nullptr) return SSH_ERR_INVALID_ARGUMENT;
  vardek::unique_ptr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  if (ctx == nullptr) return SSH_ERR_ALLOCATION_FAILED;
  if (EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, pkey) != 1 ||
      EVP_DigestVerifyUpdate(ctx.get(), data, datalen) != 1)
    return SSH_ERR_LIBCRYPTO_FAILED;
  switch (EVP_DigestVerifyFinal(ctx.get(), sig, siglen)) {
    case 1:
      return 0;
    case 0:
      return SSH_ERR_INCORRECT_SIGNATURE;
    default:
      return SSH_ERR_LIBCRYPTO_FAILED;
  }
}

int sshkey_create_evp(OSSL_PARAM_BLD *param_bld, EVP_PKEY_CTX *ctx, EVP_PKEY **pkeyp) {
  *pkeyp = nullptr;
  if (param_bld == nullptr || ctx == nullptr) {
    log_debug2_f("param_bld or ctx is NULL");
    return SSH_ERR_INVALID_ARGUMENT;
  }
  vardek::unique_ptr<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(param_bld));
  if (params == nullptr) {
    log_debug2_f("Could not build param list");
    return SSH_ERR_LIBCRYPTO_FAILED;
  }
  EVP_PKEY *pkey = nullptr;
  if (EVP_PKEY_fromdata_init(ctx) != 1 ||
      EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_KEYPAIR, params.get()) != 1) {
    log_debug2_f("EVP_PKEY_fromdata failed");
    return SSH_ERR_LIBCRYPTO_FAILED;
  }
  *pkeyp = pkey;
  return 0;
}
