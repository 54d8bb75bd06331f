// The debug line that names each key found: provider, slot, type and
// fingerprint.
#include <cstdlib>

#include "key/sshkey.h"
#include "log/log.h"
#include "pkcs11/ssh-pkcs11-internal.h"
#include "util/deleters.h"

void note_key(pkcs11_provider *p, CK_ULONG slotidx, const char *context, const sshkey *key) {
  vardek::malloc_ptr<char> fp(sshkey_fingerprint(key));
  if (!fp) {
    log_error_f("sshkey_fingerprint failed");
    return;
  }
  log_debug2("%s: provider %s slot %lu: %s %s", context, p->name, slotidx, sshkey_short_name(key),
             fp.get());
}
