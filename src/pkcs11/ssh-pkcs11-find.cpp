// The single-object search used to locate a key's private half, and the
// start of a search that recovers from one left active.
#include "log/log.h"
#include "pkcs11/ssh-pkcs11-call.h"
#include "pkcs11/ssh-pkcs11-internal.h"

CK_RV pkcs11_find_objects_init(CK_FUNCTION_LIST *f, CK_SESSION_HANDLE session, CK_ATTRIBUTE *attr,
                               CK_ULONG nattr) {
  CK_RV rv = PKCS11_CALL(f, C_FindObjectsInit, session, attr, nattr);
  if (rv != CKR_OPERATION_ACTIVE) return rv;
  // A search whose C_FindObjectsFinal failed may still be active on the
  // session; left so, it would refuse every later search (and with them
  // every signature). End it and try once more.
  CK_RV final_rv = PKCS11_CALL(f, C_FindObjectsFinal, session);
  log_debug1_f("ended a search left active: %lu", final_rv);
  return PKCS11_CALL(f, C_FindObjectsInit, session, attr, nattr);
}

int pkcs11_find(pkcs11_provider *p, CK_ULONG slotidx, CK_ATTRIBUTE *attr, CK_ULONG nattr,
                CK_OBJECT_HANDLE *obj) {
  CK_FUNCTION_LIST *f = p->module->function_list;
  CK_SESSION_HANDLE session = p->module->slotinfo[slotidx].session;

  CK_RV rv = pkcs11_find_objects_init(f, session, attr, nattr);
  if (rv != CKR_OK) {
    log_error("C_FindObjectsInit failed (nattr %lu): %lu", nattr, rv);
    return -1;
  }
  int ret = -1;
  CK_OBJECT_HANDLE found = CK_INVALID_HANDLE;
  CK_ULONG nfound = 0;
  rv = PKCS11_CALL(f, C_FindObjects, session, &found, 1, &nfound);
  if (rv != CKR_OK || nfound != 1) {
    log_debug1("C_FindObjects failed (nfound %lu nattr %lu): %lu", nfound, nattr, rv);
  } else {
    *obj = found;
    ret = 0;
  }
  rv = PKCS11_CALL(f, C_FindObjectsFinal, session);
  if (rv != CKR_OK) log_error("C_FindObjectsFinal failed: %lu", rv);
  return ret;
}
