// Logins after a provider was added: refused without asking anyone, since
// the only PIN vardek uses is the one an add request carries.
#include "log/log.h"
#include "pkcs11/ssh-pkcs11-internal.h"

int pkcs11_login_slot(pkcs11_provider *provider, pkcs11_slot *si, CK_USER_TYPE type) {
  (void)type;
  if (provider == nullptr || si == nullptr || !provider->valid) {
    log_error("no pkcs11 (valid) provider found");
    return -1;
  }
  // With the flag at 0 (always, in vardek) nothing is sent to the token.
  // There is no PIN prompt to fall back on when it is set either, so the
  // refusal is the same.
  log_error("need pin entry%s",
            (si->token.flags & CKF_PROTECTED_AUTHENTICATION_PATH) ? " on reader keypad" : "");
  return -1;
}

int pkcs11_login(pkcs11_key *k11, CK_USER_TYPE type) {
  if (k11 == nullptr || k11->provider == nullptr || !k11->provider->valid ||
      k11->provider->module == nullptr || !k11->provider->module->valid) {
    log_error("no pkcs11 (valid) provider found");
    return -1;
  }
  pkcs11_module *m = k11->provider->module;
  // A slot index from outside the table would read past it.
  if (k11->slot_index >= m->nslots) {
    log_error("no pkcs11 (valid) provider found");
    return -1;
  }
  return pkcs11_login_slot(k11->provider, &m->slotinfo[k11->slot_index], type);
}
