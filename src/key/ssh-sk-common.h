// What the two security-key families (ECDSA P-256 and Ed25519) share: the
// application string that follows the base family's public key, and the
// pieces of an authenticator's signature around the signature proper.
#ifndef VARDEK_KEY_SSH_SK_COMMON_H
#define VARDEK_KEY_SSH_SK_COMMON_H

#include <cstdint>

#include "key/sshkey-internal.h"

// Releases the application (wiped), key handle and reserved fields.
void ssh_sk_release_fields(sshkey *k);
// True when both keys have an application and it is the same text.
bool ssh_sk_same_application(const sshkey *a, const sshkey *b);
// The application as a string; a key without one writes an empty string.
[[nodiscard]] int ssh_sk_put_application(const sshkey *key, sshbuf *b);
// Reads the application into key->sk_application; SSH_ERR_INVALID_FORMAT
// when there is none.
[[nodiscard]] int ssh_sk_get_application(sshbuf *b, sshkey *key);

// A family's operations wrapped around its base family's: the security-key
// fields are handled before (equality) or after (the others) the base part.
template <void (*base)(sshkey *)>
void ssh_sk_cleanup(sshkey *k) {
  ssh_sk_release_fields(k);
  base(k);
}
template <int (*base)(const sshkey *, const sshkey *)>
int ssh_sk_equal(const sshkey *a, const sshkey *b) {
  if (!ssh_sk_same_application(a, b)) return 0;
  return base(a, b);
}
template <int (*base)(const sshkey *, sshbuf *, int)>
int ssh_sk_serialize_public(const sshkey *key, sshbuf *b, int opts) {
  if (int r = base(key, b, opts); r != 0) return r;
  return ssh_sk_put_application(key, b);
}
template <int (*base)(const char *, sshbuf *, sshkey *)>
int ssh_sk_deserialize_public(const char *ktype, sshbuf *b, sshkey *key) {
  if (int r = base(ktype, b, key); r != 0) return r;
  return ssh_sk_get_application(b, key);
}

// SHA-256 values of a security-key signature check.
using ssh_sk_digest = vardek::wiped_bytes<SSH_DIGEST_SHA256_LEN>;

// The authenticator's flags byte and signature counter, which follow the
// signature proper; SSH_ERR_INVALID_FORMAT when either is missing.
[[nodiscard]] int ssh_sk_get_flags_counter(sshbuf *b, uint8_t *flags, uint32_t *counter);
// SHA-256 of the key's application, which must be set.
[[nodiscard]] int ssh_sk_application_hash(const sshkey *key, ssh_sk_digest &apphash);
// Appends what an authenticator signs: the application hash, flags, counter,
// extensions (WebAuthn only; null for none) and the message hash.
[[nodiscard]] int ssh_sk_put_signed_data(sshbuf *out, const ssh_sk_digest &apphash, uint8_t flags,
                                         uint32_t counter, const sshbuf *extensions,
                                         const ssh_sk_digest &msghash);

#endif
