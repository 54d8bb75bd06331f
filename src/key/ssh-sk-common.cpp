// The parts the security-key families share; see ssh-sk-common.h.
#include "key/ssh-sk-common.h"

#include <cstring>

#include "log/ssherr.h"

void ssh_sk_release_fields(sshkey *k) {
  vardek::clear_free_text(k->sk_application);
  k->sk_application = nullptr;
  sshbuf_free(k->sk_key_handle);
  k->sk_key_handle = nullptr;
  sshbuf_free(k->sk_reserved);
  k->sk_reserved = nullptr;
}

bool ssh_sk_same_application(const sshkey *a, const sshkey *b) {
  return a->sk_application != nullptr && b->sk_application != nullptr &&
         std::strcmp(a->sk_application, b->sk_application) == 0;
}

int ssh_sk_put_application(const sshkey *key, sshbuf *b) {
  return sshbuf_put_cstring(b, key->sk_application != nullptr ? key->sk_application : "");
}

int ssh_sk_get_application(sshbuf *b, sshkey *key) {
  if (sshbuf_get_cstring(b, &key->sk_application, nullptr) != 0) return SSH_ERR_INVALID_FORMAT;
  return 0;
}

int ssh_sk_get_flags_counter(sshbuf *b, uint8_t *flags, uint32_t *counter) {
  if (sshbuf_get_u8(b, flags) != 0 || sshbuf_get_u32(b, counter) != 0)
    return SSH_ERR_INVALID_FORMAT;
  return 0;
}

int ssh_sk_application_hash(const sshkey *key, ssh_sk_digest &apphash) {
  return ssh_digest_memory(key->sk_application, std::strlen(key->sk_application), apphash.p,
                           apphash.len);
}

int ssh_sk_put_signed_data(sshbuf *out, const ssh_sk_digest &apphash, uint8_t flags,
                           uint32_t counter, const sshbuf *extensions,
                           const ssh_sk_digest &msghash) {
  int r;
  if ((r = sshbuf_put(out, apphash.p, apphash.len)) != 0 || (r = sshbuf_put_u8(out, flags)) != 0 ||
      (r = sshbuf_put_u32(out, counter)) != 0 ||
      (extensions != nullptr && (r = sshbuf_putb(out, extensions)) != 0) ||
      (r = sshbuf_put(out, msghash.p, msghash.len)) != 0)
    return r;
  return 0;
}
