// Module life after loading: a module is finalised and unloaded when its
// last provider lets go.
#include <dlfcn.h>

#include <cstdlib>

#include "log/log.h"
#include "pkcs11/ssh-pkcs11-call.h"
#include "pkcs11/ssh-pkcs11-internal.h"

int pkcs11_module_unref(pkcs11_module *m) {
  log_debug1_f("%p refcount %d", static_cast<void *>(m), m->refcount);
  if (--m->refcount > 0) return m->refcount;
  pkcs11_module_finalize(m);
  pkcs11_module_free(m);
  return 0;
}

void pkcs11_module_free(pkcs11_module *m) {
  free(m->slotlist);
  free(m->slotinfo);
  free(m->module_path);
  free(m);
}

void pkcs11_module_finalize(pkcs11_module *m) {
  log_debug1_f("%p refcount %d valid %d", static_cast<void *>(m), m->refcount, m->valid);
  if (!m->valid) return;
  CK_FUNCTION_LIST *f = m->function_list;
  for (CK_ULONG i = 0; i < m->nslots; i++) {
    if (m->slotinfo[i].session == 0) continue;
    CK_RV rv = PKCS11_CALL(f, C_CloseSession, m->slotinfo[i].session);
    if (rv != CKR_OK) log_error("C_CloseSession failed: %lu", rv);
  }
  CK_RV rv = PKCS11_CALL(f, C_Finalize, nullptr);
  if (rv != CKR_OK) log_error("C_Finalize failed: %lu", rv);
  m->valid = 0;
  m->function_list = nullptr;
  dlclose(m->handle);
}
