// Owning pointers for the libcrypto objects the client uses.
#ifndef VARDEK_CLIENT_OSSL_H
#define VARDEK_CLIENT_OSSL_H

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <memory>

namespace vardek::client {

template <class T>
struct ossl_deleter;
template <>
struct ossl_deleter<EVP_PKEY> {
  void operator()(EVP_PKEY *p) const noexcept { EVP_PKEY_free(p); }
};
template <>
struct ossl_deleter<EVP_PKEY_CTX> {
  void operator()(EVP_PKEY_CTX *p) const noexcept { EVP_PKEY_CTX_free(p); }
};
template <>
struct ossl_deleter<EVP_MD_CTX> {
  void operator()(EVP_MD_CTX *p) const noexcept { EVP_MD_CTX_free(p); }
};
template <>
struct ossl_deleter<BIGNUM> {
  void operator()(BIGNUM *p) const noexcept { BN_free(p); }
};
template <>
struct ossl_deleter<OSSL_PARAM_BLD> {
  void operator()(OSSL_PARAM_BLD *p) const noexcept { OSSL_PARAM_BLD_free(p); }
};
template <>
struct ossl_deleter<OSSL_PARAM> {
  void operator()(OSSL_PARAM *p) const noexcept { OSSL_PARAM_free(p); }
};
template <>
struct ossl_deleter<ECDSA_SIG> {
  void operator()(ECDSA_SIG *p) const noexcept { ECDSA_SIG_free(p); }
};

template <class T>
using ossl_ptr = std::unique_ptr<T, ossl_deleter<T>>;

}  // namespace vardek::client

#endif
