// unique_ptr deleters for the libcrypto objects that are not deprecated.
#ifndef VARDEK_UTIL_OSSL_PTR_H
#define VARDEK_UTIL_OSSL_PTR_H

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/dsa.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include "util/deleters.h"

VARDEK_DELETER(BIGNUM, BN_clear_free);
VARDEK_DELETER(EVP_PKEY, EVP_PKEY_free);
VARDEK_DELETER(EVP_PKEY_CTX, EVP_PKEY_CTX_free);
VARDEK_DELETER(EVP_MD_CTX, EVP_MD_CTX_free);
VARDEK_DELETER(OSSL_PARAM_BLD, OSSL_PARAM_BLD_free);
VARDEK_DELETER(OSSL_PARAM, OSSL_PARAM_free);
VARDEK_DELETER(X509, X509_free);
VARDEK_DELETER(X509_NAME, X509_NAME_free);
VARDEK_DELETER(ASN1_OCTET_STRING, ASN1_OCTET_STRING_free);
VARDEK_DELETER(EC_GROUP, EC_GROUP_free);
VARDEK_DELETER(EC_POINT, EC_POINT_free);
VARDEK_DELETER(ECDSA_SIG, ECDSA_SIG_free);
VARDEK_DELETER(DSA_SIG, DSA_SIG_free);

#endif
