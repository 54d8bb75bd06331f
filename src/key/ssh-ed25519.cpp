// Ed25519 keys: "ssh-ed25519" public keys (32 raw bytes) and their
// signatures, checked with crypto_sign_ed25519_open.
#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>

#include "key/sshkey-internal.h"
#include "log/log.h"
#include "log/ssherr.h"

// Largest data length whose signed message still fits in an int-sized area.
#define SSH_ED25519_MAX_DATA 0x7fffffbfUL

void ssh_ed25519_cleanup(sshkey *k) {
  if (k->ed25519_public != nullptr) {
    explicit_bzero(k->ed25519_public, ED25519_PK_SZ);
    std::free(k->ed25519_public);
  }
  if (k->ed25519_secret != nullptr) {
    explicit_bzero(k->ed25519_secret, ED25519_SK_SZ);
    std::free(k->ed25519_secret);
  }
  k->ed25519_public = nullptr;
  k->ed25519_secret = nullptr;
}

int ssh_ed25519_equal(const sshkey *a, const sshkey *b) {
  if (a->ed25519_public == nullptr || b->ed25519_public == nullptr) return 0;
  return std::memcmp(a->ed25519_public, b->ed25519_public, ED25519_PK_SZ) == 0;
}

int ssh_ed25519_serialize_public(const sshkey *key, sshbuf *b, int /*opts*/) {
  if (key->ed25519_public == nullptr) return SSH_ERR_INVALID_ARGUMENT;
  // The string header and the key go in as one block.
  unsigned char block[4 + ED25519_PK_SZ] = {0x00, 0x00, 0x00, ED25519_PK_SZ};
  std::memcpy(block + 4, key->ed25519_public, ED25519_PK_SZ);
  int r = sshbuf_put(b, block, sizeof(block));
  explicit_bzero(block, sizeof(block));
  return r;
}

int ssh_ed25519_deserialize_public(const char * /*ktype*/, sshbuf *b, sshkey *key) {
  const unsigned char *pk = nullptr;
  size_t len = 0;
  if (int r = sshbuf_get_string_direct(b, &pk, &len); r != 0) return r;
  if (len != ED25519_PK_SZ) return SSH_ERR_INVALID_FORMAT;
  auto *copy = static_cast<unsigned char *>(std::malloc(ED25519_PK_SZ));
  if (copy == nullptr) return SSH_ERR_ALLOCATION_FAILED;
  std::memcpy(copy, pk, ED25519_PK_SZ);
  key->ed25519_public = copy;
  return 0;
}

namespace {

int ssh_ed25519_verify(const sshkey *key, const unsigned char *sig, size_t siglen,
                       const unsigned char *data, size_t dlen, const char * /*alg*/,
                       unsigned int /*compat*/, void ** /*detailsp*/) {
  if (key == nullptr || key->ed25519_public == nullptr || sig == nullptr || siglen == 0 ||
      sshkey_plain_type(key->type) != KEY_TYPE_ED25519)
    return SSH_ERR_INVALID_ARGUMENT;
  if (dlen >= SSH_ED25519_MAX_DATA) return SSH_ERR_INVALID_ARGUMENT;
  if (EVP_default_properties_is_fips_enabled(nullptr)) {
    log_info_f("Ed25519 keys are not allowed in FIPS mode");
    return SSH_ERR_INVALID_ARGUMENT;
  }

  vardek::unique_ptr<sshbuf> b(sshbuf_from(sig, siglen));
  if (b == nullptr) return SSH_ERR_ALLOCATION_FAILED;
  char *raw_type = nullptr;
  if (int r = sshbuf_get_cstring(b.get(), &raw_type, nullptr); r != 0) return r;
  vardek::malloc_ptr<char> ktype(raw_type);
  const unsigned char *sigblob = nullptr;
  size_t len = 0;
  if (int r = sshbuf_get_string_direct(b.get(), &sigblob, &len); r != 0) return r;
  if (std::strcmp(SSH_ED25519_NAME, ktype.get()) != 0) return SSH_ERR_KEY_TYPE_DIFFERS;
  if (sshbuf_len(b.get()) != 0) return SSH_ERR_TRAILING_BYTES;
  if (len > 64) return SSH_ERR_INVALID_FORMAT;

  size_t smlen = len + dlen;
  vardek::wiped_bytes<> sm, m;
  sm.p = static_cast<unsigned char *>(std::malloc(smlen != 0 ? smlen : 1));
  sm.len = smlen;
  m.p = static_cast<unsigned char *>(std::malloc(smlen != 0 ? smlen : 1));
  m.len = smlen;
  if (sm.p == nullptr || m.p == nullptr) return SSH_ERR_ALLOCATION_FAILED;
  std::memcpy(sm.p, sigblob, len);
  if (dlen != 0) std::memcpy(sm.p + len, data, dlen);
  unsigned long long mlen = 0;
  if (int ret = crypto_sign_ed25519_open(m.p, &mlen, sm.p, smlen, key->ed25519_public); ret != 0) {
    log_debug2_f("crypto_sign_ed25519_open failed: %d", ret);
    return SSH_ERR_INCORRECT_SIGNATURE;
  }
  if (mlen != dlen) return SSH_ERR_INCORRECT_SIGNATURE;
  return 0;
}

}  // namespace

const sshkey_type_ops ssh_ed25519_ops = {
    .cleanup = ssh_ed25519_cleanup,
    .equal = ssh_ed25519_equal,
    .serialize_public = ssh_ed25519_serialize_public,
    .deserialize_public = ssh_ed25519_deserialize_public,
    .verify = ssh_ed25519_verify,
};
