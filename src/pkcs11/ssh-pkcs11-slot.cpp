// The slot pass of a provider registration: visit the slots whose token
// passes the URI's filters, open (and log into) a session where the slot has
// none yet, and collect the slot's keys.
#include <cstdlib>
#include <cstring>

#include "log/log.h"
#include "pkcs11/ssh-pkcs11-call.h"
#include "pkcs11/ssh-pkcs11-internal.h"
#include "util/deleters.h"

namespace {

void fetch_slot(pkcs11_provider *p, CK_ULONG slotidx, sshkey ***keysp, char ***labelsp, int *nkeys,
                const pkcs11_uri *uri) {
  pkcs11_fetch_keys(p, slotidx, keysp, labelsp, nkeys, uri);
  pkcs11_fetch_certs(p, slotidx, keysp, labelsp, nkeys, uri);
}

// An open session that is closed when the scope ends, unless it was
// released to the slot: a session whose login failed cannot stay open.
class session_guard {
 public:
  session_guard(CK_FUNCTION_LIST *f, CK_SESSION_HANDLE session) : f_(f), session_(session) {}
  session_guard(const session_guard &) = delete;
  session_guard &operator=(const session_guard &) = delete;
  ~session_guard() {
    if (session_ == 0) return;
    CK_RV rv = PKCS11_CALL(f_, C_CloseSession, session_);
    if (rv != CKR_OK) log_error("C_CloseSession failed: %lu", rv);
  }
  CK_SESSION_HANDLE release() {
    CK_SESSION_HANDLE h = session_;
    session_ = 0;
    return h;
  }

 private:
  CK_FUNCTION_LIST *f_;
  CK_SESSION_HANDLE session_;
};

}  // namespace

void pkcs11_register_slots(pkcs11_uri *uri, const char *pin, pkcs11_provider *p, sshkey ***keysp,
                           char ***labelsp, int *nkeys, CK_ULONG user) {
  vardek::malloc_ptr<char> provider_uri(pkcs11_uri_get(uri));
  const char *text = provider_uri ? provider_uri.get() : "(null)";
  // The request's PIN is the one used, even when empty; a pin-value in the
  // URI does not take effect.
  const char *use_pin = pin != nullptr ? pin : "";
  pkcs11_module *m = p->module;

  for (CK_ULONG i = 0; i < m->nslots; i++) {
    pkcs11_slot *s = &m->slotinfo[i];
    const CK_TOKEN_INFO *token = &s->token;
    if ((token->flags & CKF_TOKEN_INITIALIZED) == 0) {
      log_as("pkcs11_register_provider_by_uri", {.level = SSHLOG_DEBUG2, .show_func = true},
             "ignoring uninitialised token in provider %s slot %lu", text, i);
      continue;
    }
    if (uri->token_label != nullptr && strcmp(uri->token_label, s->label) != 0) {
      log_as("pkcs11_register_provider_by_uri", {.level = SSHLOG_DEBUG2, .show_func = true},
             "ignoring token not matching label (%s) specified by PKCS#11 URI in slot %lu",
             s->label, i);
      continue;
    }
    if (uri->manufacturer != nullptr && strcmp(uri->manufacturer, s->manufacturer_id) != 0) {
      log_as("pkcs11_register_provider_by_uri", {.level = SSHLOG_DEBUG2, .show_func = true},
             "ignoring token not matching requrested manufacturerID (%s) specified by "
             "PKCS#11 URI in slot %lu",
             s->manufacturer_id, i);
      continue;
    }
    log_as("pkcs11_register_provider_by_uri", {.level = SSHLOG_DEBUG1},
           "provider %s slot %lu: label <%s> manufacturerID <%s> model <%s> serial <%s> "
           "flags 0x%lx",
           text, i, s->label, s->manufacturer_id, s->model, s->serial, token->flags);

    // A slot without a session still goes through discovery: it finds
    // nothing there and reports its own failures.
    if (s->session == 0) pkcs11_open_session(p, i, use_pin, user);
    fetch_slot(p, i, keysp, labelsp, nkeys, uri);
    if (*nkeys != 0 || uri->object_label == nullptr) continue;

    char *object_label = uri->object_label;
    log_as("pkcs11_register_provider_by_uri", {.level = SSHLOG_DEBUG3, .show_func = true},
           "No keys found. Retrying without label (%s) ", object_label);
    uri->object_label = nullptr;
    fetch_slot(p, i, keysp, labelsp, nkeys, uri);
    uri->object_label = object_label;
  }
}

void pkcs11_open_session(pkcs11_provider *p, CK_ULONG slotidx, const char *pin, CK_ULONG user) {
  pkcs11_module *m = p->module;
  CK_FUNCTION_LIST *f = m->function_list;
  pkcs11_slot *s = &m->slotinfo[slotidx];
  bool login_required = (s->token.flags & CKF_LOGIN_REQUIRED) != 0;

  if (login_required && (pin == nullptr || *pin == '\0')) {
    log_error("pin required");
    return;
  }
  CK_SESSION_HANDLE session = 0;
  CK_RV rv = PKCS11_CALL(f, C_OpenSession, m->slotlist[slotidx],
                         CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
  if (rv != CKR_OK) {
    log_error("C_OpenSession failed for slot %lu: %lu", slotidx, rv);
    return;
  }
  session_guard opened(f, session);
  if (login_required) {
    // The PIN goes to the token as given; this layer keeps no copy of it.
    rv = PKCS11_CALL(f, C_Login, session, user,
                     reinterpret_cast<CK_UTF8CHAR *>(const_cast<char *>(pin)), strlen(pin));
    if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
      log_error("C_Login failed: %lu", rv);
      return;  // the guard closes the session
    }
    s->logged_in = 1;
  }
  s->session = opened.release();
}
