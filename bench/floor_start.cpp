// bench_floor_start: the floor of vardek's start-up. Built like vardek (C++,
// the same libcrypto), it initialises libcrypto with the flags and the
// configuration loading vardek uses, then answers every request on standard
// input with a failure (5) until the input ends. Start-up to the first reply
// and peak RSS of this program are what any vardek costs at least.
//
//   bench_floor_start            OPENSSL_init_crypto as vardek calls it
//   bench_floor_start engines    also vardek's ENGINE set-up and its check
//                                that the random generator is seeded, i.e.
//                                all of vardek's libcrypto start-up
#define OPENSSL_SUPPRESS_DEPRECATED  // the ENGINE calls vardek makes
#include <openssl/crypto.h>
#include <openssl/engine.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

int main(int argc, char **argv) {
  const bool engines = argc > 1 && std::strcmp(argv[1], "engines") == 0;
  if (engines) {
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
    ENGINE_load_builtin_engines();
    ENGINE_register_all_complete();
  }
  OPENSSL_init_crypto(
      OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS | OPENSSL_INIT_LOAD_CONFIG,
      nullptr);
  if (engines && RAND_status() != 1) return 1;
  uint8_t head[4], body[4096];
  for (;;) {
    size_t got = 0;
    while (got < 4) {
      ssize_t n = read(0, head + got, 4 - got);
      if (n <= 0) return n == 0 ? 0 : 1;
      got += static_cast<size_t>(n);
    }
    uint32_t len =
        (uint32_t{head[0]} << 24) | (uint32_t{head[1]} << 16) | (uint32_t{head[2]} << 8) | head[3];
    while (len > 0) {
      ssize_t n = read(0, body, len < sizeof body ? len : sizeof body);
      if (n <= 0) return 1;
      len -= static_cast<uint32_t>(n);
    }
    static const uint8_t failure[] = {0, 0, 0, 1, 5};
    if (write(1, failure, sizeof failure) != sizeof failure) return 1;
  }
}
