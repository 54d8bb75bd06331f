#define OPENSSL_SUPPRESS_DEPRECATED  // ENGINE_load_builtin_engines and friends
// libcrypto start-up and the random-generator check.
#include "service/entropy.h"

#include <openssl/crypto.h>
#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>
#include <openssl/rand.h>

#include <cstdlib>
#include <cstring>

#include "log/log.h"

int openssl_version_compatible(unsigned long built, unsigned long run) {
  // Top nibble: major version. Low nibble: release status.
  return built == run || ((run ^ built) & 0xf000000fUL) == 0;
}

void seed_rng(void) {
  OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
  ENGINE_load_builtin_engines();
  ENGINE_register_all_complete();
  OPENSSL_init_crypto(
      OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS | OPENSSL_INIT_LOAD_CONFIG,
      nullptr);

  unsigned long built = OPENSSL_VERSION_NUMBER;
  unsigned long run = OpenSSL_version_num();
  if (!openssl_version_compatible(built, run))
    log_fatal("OpenSSL version mismatch. Built against %lx, you have %lx", built, run);

  if (RAND_status() != 1) log_fatal("PRNG is not seeded");

  unsigned char scratch[48];
  arc4random_buf(scratch, sizeof(scratch));
  explicit_bzero(scratch, sizeof(scratch));
}
