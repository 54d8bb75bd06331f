// The single-object search used to locate a key's private half.
#include "log/log.h"
#include "pkcs11/ssh-pkcs11-internal.h"

int pkcs11_find(pkcs11_provider *p, CK_ULONG slotidx, CK_ATTRIBUTE *attr, CK_ULONG nattr,
                CK_OBJECT_HANDLE *obj) {
  CK_FUNCTION_LIST *f = p->module->function_list;
  CK_SESSION_HANDLE session = p->module->slotinfo[slotidx].session;

  CK_RV rv = f->C_FindObjectsInit(session, attr, nattr);
  if (rv != CKR_OK) {
    log_error("C_FindObjectsInit failed (nattr %lu): %lu", nattr, rv);
    return -1;
  }
  int ret = -1;
  CK_OBJECT_HANDLE found = CK_INVALID_HANDLE;
  CK_ULONG nfound = 0;
  rv = f->C_FindObjects(session, &found, 1, &nfound);
  if (rv != CKR_OK || nfound != 1) {
    log_debug1("C_FindObjects failed (nfound %lu nattr %lu): %lu", nfound, nattr, rv);
  } else {
    *obj = found;
    ret = 0;
  }
  rv = f->C_FindObjectsFinal(session);
  if (rv != CKR_OK) log_error("C_FindObjectsFinal failed: %lu", rv);
  return ret;
}
