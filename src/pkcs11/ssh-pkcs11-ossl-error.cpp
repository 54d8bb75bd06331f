// The libcrypto error logger of the provider layer.
#include <openssl/err.h>

#include "log/log.h"
#include "pkcs11/ssh-pkcs11-internal.h"

void ossl_error(const char *msg) {
  log_error_f("%s", msg);
  unsigned long e;
  while ((e = ERR_get_error()) != 0)
    log_error_f("libcrypto error: %s", ERR_error_string(e, nullptr));
}
