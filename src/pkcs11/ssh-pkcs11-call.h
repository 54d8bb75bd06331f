// The one way the provider layer calls into a module: every Cryptoki entry
// point is reached through pkcs11_call, which refuses an entry the module's
// function list lacks and traces each call at the lowest debug level.
// Failures are logged by the caller, once, in the caller's own words.
//
//   CK_RV rv = PKCS11_CALL(f, C_Sign, session, data, len, sig, &siglen);
#ifndef VARDEK_PKCS11_SSH_PKCS11_CALL_H
#define VARDEK_PKCS11_SSH_PKCS11_CALL_H

#include <p11-kit/pkcs11.h>

#include <utility>

#include "log/log.h"

// Calls the entry `member` of `f` by `name`. CKR_FUNCTION_NOT_SUPPORTED
// when there is no function list or the entry is null: a module is not
// trusted to fill in every slot of its table.
template <class Fn, class... Args>
[[nodiscard]] CK_RV pkcs11_call(const CK_FUNCTION_LIST *f, Fn CK_FUNCTION_LIST::*member,
                                const char *name, Args &&...args) {
  Fn fn = f != nullptr ? f->*member : nullptr;
  if (fn == nullptr) {
    log_as("pkcs11_call", {.level = SSHLOG_DEBUG3, .show_func = true},
           "%s: not in the module's function list", name);
    return CKR_FUNCTION_NOT_SUPPORTED;
  }
  log_as("pkcs11_call", {.level = SSHLOG_DEBUG3, .show_func = true}, "%s", name);
  return fn(std::forward<Args>(args)...);
}

#define PKCS11_CALL(f, entry, ...) pkcs11_call(f, &CK_FUNCTION_LIST::entry, #entry, __VA_ARGS__)

#endif
