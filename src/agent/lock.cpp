#include "agent/lock.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace vardek::agent {

namespace {
constexpr int iterations = 10000;
}

Lock::~Lock() {
  OPENSSL_cleanse(hash_.data(), hash_.size());
  OPENSSL_cleanse(salt_.data(), salt_.size());
}

bool Lock::hash(const Bytes &password, std::array<uint8_t, 32> &out) const {
  return PKCS5_PBKDF2_HMAC(reinterpret_cast<const char *>(password.data()),
                           static_cast<int>(password.size()), salt_.data(),
                           static_cast<int>(salt_.size()), iterations, EVP_sha256(),
                           static_cast<int>(out.size()), out.data()) == 1;
}

bool Lock::lock(const Bytes &password) {
  if (locked_ || RAND_bytes(salt_.data(), static_cast<int>(salt_.size())) != 1 ||
      !hash(password, hash_))
    return false;
  locked_ = true;
  return true;
}

bool Lock::unlock(const Bytes &password) {
  std::array<uint8_t, 32> h{};
  bool ok = locked_ && hash(password, h) && CRYPTO_memcmp(h.data(), hash_.data(), h.size()) == 0;
  OPENSSL_cleanse(h.data(), h.size());
  if (ok) {
    locked_ = false;
    OPENSSL_cleanse(hash_.data(), hash_.size());
  }
  return ok;
}

}  // namespace vardek::agent
