// unique_ptr deleters for the deprecated libcrypto key objects (RSA, EC_KEY)
// that key handles and token-bound keys are built on. Include only
// from files that define OPENSSL_SUPPRESS_DEPRECATED before any header.
#ifndef VARDEK_UTIL_OSSL_LEGACY_PTR_H
#define VARDEK_UTIL_OSSL_LEGACY_PTR_H

#ifndef OPENSSL_SUPPRESS_DEPRECATED
#error "define OPENSSL_SUPPRESS_DEPRECATED first"
#endif

#include <openssl/ec.h>
#include <openssl/rsa.h>

#include "util/ossl_ptr.h"

VARDEK_DELETER(RSA, RSA_free);
VARDEK_DELETER(EC_KEY, EC_KEY_free);

#endif
