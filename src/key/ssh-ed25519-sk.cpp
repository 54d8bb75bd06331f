// Security-key Ed25519 keys: the Ed25519 public key plus an application
// string, and signatures made by an authenticator over the application
// hash, flags, counter and message hash.
#include <cstdlib>
#include <cstring>

#include "key/ssh-sk-common.h"
#include "key/sshkey-internal.h"
#include "log/log.h"
#include "log/ssherr.h"

namespace {

int ssh_ed25519_sk_verify(const sshkey *key, const unsigned char *sig, size_t siglen,
                          const unsigned char *data, size_t dlen, const char * /*alg*/,
                          unsigned int /*compat*/, void ** /*detailsp*/) {
  if (key == nullptr || key->ed25519_public == nullptr || sig == nullptr || siglen == 0 ||
      sshkey_plain_type(key->type) != KEY_TYPE_ED25519_SK)
    return SSH_ERR_INVALID_ARGUMENT;
  // The application is hashed into what the authenticator signed.
  if (key->sk_application == nullptr) return SSH_ERR_INVALID_ARGUMENT;

  vardek::unique_ptr<sshbuf> b(sshbuf_from(sig, siglen));
  if (b == nullptr) return SSH_ERR_ALLOCATION_FAILED;
  char *raw_type = nullptr;
  const unsigned char *sigblob = nullptr;
  size_t len = 0;
  uint8_t sig_flags = 0;
  uint32_t sig_counter = 0;
  if (sshbuf_get_cstring(b.get(), &raw_type, nullptr) != 0) return SSH_ERR_INVALID_FORMAT;
  vardek::malloc_ptr<char> ktype(raw_type);
  if (sshbuf_get_string_direct(b.get(), &sigblob, &len) != 0 ||
      ssh_sk_get_flags_counter(b.get(), &sig_flags, &sig_counter) != 0)
    return SSH_ERR_INVALID_FORMAT;
  if (std::strcmp(sshkey_ssh_name_plain(key->type, key->ecdsa_nid), ktype.get()) != 0)
    return SSH_ERR_KEY_TYPE_DIFFERS;
  if (sshbuf_len(b.get()) != 0) return SSH_ERR_TRAILING_BYTES;
  if (len > 64) return SSH_ERR_INVALID_FORMAT;

  ssh_sk_digest apphash, msghash;
  if (ssh_sk_application_hash(key, apphash) != 0 ||
      ssh_digest_memory(data, dlen, msghash.p, msghash.len) != 0)
    return SSH_ERR_INVALID_ARGUMENT;

  // The signature proper, then what the authenticator signed: the message
  // that opening it must give back. Ed25519 signatures have no extensions.
  vardek::unique_ptr<sshbuf> encoded(sshbuf_new());
  if (encoded == nullptr) return SSH_ERR_ALLOCATION_FAILED;
  if (sshbuf_put(encoded.get(), sigblob, len) != 0 ||
      ssh_sk_put_signed_data(encoded.get(), apphash, sig_flags, sig_counter, nullptr, msghash) != 0)
    return SSH_ERR_ALLOCATION_FAILED;

  size_t smlen = sshbuf_len(encoded.get());
  vardek::wiped_bytes<> m;
  m.p = static_cast<unsigned char *>(std::malloc(smlen));
  m.len = smlen;
  if (m.p == nullptr) return SSH_ERR_ALLOCATION_FAILED;
  unsigned long long mlen = 0;
  if (int ret = crypto_sign_ed25519_open(m.p, &mlen, sshbuf_ptr(encoded.get()), smlen,
                                         key->ed25519_public);
      ret != 0) {
    log_debug2_f("crypto_sign_ed25519_open failed: %d", ret);
    return SSH_ERR_INCORRECT_SIGNATURE;
  }
  if (mlen != smlen - len) return SSH_ERR_INCORRECT_SIGNATURE;
  return 0;
}

}  // namespace

const sshkey_type_ops ssh_ed25519_sk_ops = {
    .cleanup = ssh_sk_cleanup<ssh_ed25519_cleanup>,
    .equal = ssh_sk_equal<ssh_ed25519_equal>,
    .serialize_public = ssh_sk_serialize_public<ssh_ed25519_serialize_public>,
    .deserialize_public = ssh_sk_deserialize_public<ssh_ed25519_deserialize_public>,
    .verify = ssh_ed25519_sk_verify,
};
