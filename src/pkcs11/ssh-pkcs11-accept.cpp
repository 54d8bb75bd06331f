// The discovered keys of a registration: each new key is noted, dropped
// when an equal one is already listed, or appended with its label.
#include "key/sshkey.h"
#include "log/log.h"
#include "pkcs11/ssh-pkcs11-internal.h"
#include "util/xmalloc.h"

// Appends `key` with a copy of `label`, or frees it when an equal key is
// already listed. Messages carry the enumeration's name.
void pkcs11_accept_key(pkcs11_provider *p, CK_ULONG slotidx, const char *context, sshkey *key,
                       const char *label, sshkey ***keysp, char ***labelsp, int *nkeys) {
  note_key(p, slotidx, context, key);
  for (int i = 0; i < *nkeys; i++) {
    if (sshkey_equal(key, (*keysp)[i])) {
      log_as(context, {.level = SSHLOG_DEBUG2, .show_func = true}, "key already included");
      sshkey_free(key);
      return;
    }
  }
  size_t n = static_cast<size_t>(*nkeys);
  // The array holds pointers to keys, so its element size is a pointer's.
  // NOLINTNEXTLINE(bugprone-sizeof-expression): sizeof(sshkey *) is meant
  *keysp = static_cast<sshkey **>(xrecallocarray(*keysp, n, n + 1, sizeof(sshkey *)));
  *labelsp = static_cast<char **>(xrecallocarray(*labelsp, n, n + 1, sizeof(char *)));
  (*keysp)[n] = key;
  (*labelsp)[n] = xstrdup(label);
  *nkeys += 1;
  log_as(context, {.level = SSHLOG_DEBUG1}, "have %d keys", *nkeys);
}
