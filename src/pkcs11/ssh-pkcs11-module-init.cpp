// Loading and initialising a PKCS#11 library for a provider: dlopen, the
// function list, C_Initialize, the library information, the slots and their
// tokens.
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

#include "log/log.h"
#include "pkcs11/ssh-pkcs11-call.h"
#include "pkcs11/ssh-pkcs11-internal.h"
#include "util/deleters.h"
#include "util/xmalloc.h"

namespace {

// A module whose initialisation did not finish never reaches
// pkcs11_module_unref: it is finalised here when C_Initialize had succeeded
// (function_list is set only then), released, and its library unloaded.
void release_unfinished(pkcs11_module *m) {
  if (m->function_list != nullptr) {
    CK_RV rv = PKCS11_CALL(m->function_list, C_Finalize, nullptr);
    if (rv != CKR_OK)
      log_as("pkcs11_initialize_provider", {.level = SSHLOG_ERROR},
             "C_Finalize for provider %s failed: %lu", m->module_path, rv);
  }
  void *handle = m->handle;
  pkcs11_module_free(m);
  if (handle != nullptr) dlclose(handle);
}

}  // namespace

VARDEK_DELETER(pkcs11_module, release_unfinished);

int pkcs11_initialize_provider(pkcs11_uri *uri, const char *module_path, pkcs11_provider *p) {
  vardek::unique_ptr<pkcs11_module> m(
      static_cast<pkcs11_module *>(xcalloc(1, sizeof(pkcs11_module))));
  m->refcount = 1;
  m->module_path = xstrdup(module_path);

  // dlopen("") hands back the process's own image, and with it whatever
  // C_GetFunctionList that image happens to carry: never a module.
  if (*module_path == '\0') {
    log_as("pkcs11_initialize_provider", {.level = SSHLOG_ERROR}, "dlopen %s failed: %s",
           module_path, "empty module path");
    return -1;
  }
  void *handle = dlopen(module_path, RTLD_NOW);
  if (handle == nullptr) {
    const char *why = dlerror();
    log_as("pkcs11_initialize_provider", {.level = SSHLOG_ERROR}, "dlopen %s failed: %s",
           module_path, why != nullptr ? why : "unknown error");
    return -1;
  }
  m->handle = handle;

  // A library without the entry point is a broken provider, not a reason
  // to end the process: report it and unload the library.
  dlerror();
  auto getfunctionlist = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList"));
  if (getfunctionlist == nullptr) {
    const char *why = dlerror();
    log_as("pkcs11_initialize_provider", {.level = SSHLOG_ERROR},
           "dlsym(C_GetFunctionList) failed: %s", why != nullptr ? why : "symbol is null");
    return -1;
  }

  CK_FUNCTION_LIST *f = nullptr;
  CK_RV rv = getfunctionlist(&f);
  if (rv != CKR_OK || f == nullptr) {
    if (rv == CKR_OK) rv = CKR_GENERAL_ERROR;
    log_as("pkcs11_initialize_provider", {.level = SSHLOG_ERROR},
           "C_GetFunctionList for provider %s failed: %lu", module_path, rv);
    return -1;
  }

  rv = PKCS11_CALL(f, C_Initialize, nullptr);
  if (rv != CKR_OK) {
    log_as("pkcs11_initialize_provider", {.level = SSHLOG_ERROR},
           "C_Initialize for provider %s failed: %lu", module_path, rv);
    return -1;
  }
  m->function_list = f;  // from here on, a failure finalises the module

  rv = PKCS11_CALL(f, C_GetInfo, &m->info);
  if (rv != CKR_OK) {
    log_as("pkcs11_initialize_provider", {.level = SSHLOG_ERROR},
           "C_GetInfo for provider %s failed: %lu", module_path, rv);
    return -1;
  }
  trim_field(m->manufacturer_id, m->info.manufacturerID, sizeof(m->info.manufacturerID));
  if (uri->library_manufacturer != nullptr &&
      strcmp(uri->library_manufacturer, m->manufacturer_id) != 0) {
    log_as("pkcs11_initialize_provider", {.level = SSHLOG_DEBUG1, .show_func = true},
           "Skipping provider %s not matching library_manufacturer", m->manufacturer_id);
    return -1;
  }
  trim_field(m->library_description, m->info.libraryDescription,
             sizeof(m->info.libraryDescription));
  log_as("pkcs11_initialize_provider", {.level = SSHLOG_DEBUG1},
         "provider %s: manufacturerID <%s> cryptokiVersion %d.%d libraryDescription <%s> "
         "libraryVersion %d.%d",
         module_path, m->manufacturer_id, m->info.cryptokiVersion.major,
         m->info.cryptokiVersion.minor, m->library_description, m->info.libraryVersion.major,
         m->info.libraryVersion.minor);

  CK_ULONG nslots = 0;
  rv = PKCS11_CALL(f, C_GetSlotList, CK_TRUE, nullptr, &nslots);
  if (rv != CKR_OK) {
    log_as("pkcs11_initialize_provider", {.level = SSHLOG_ERROR}, "C_GetSlotList failed: %lu", rv);
    return -1;
  }
  if (nslots == 0) {
    log_as("pkcs11_initialize_provider", {.level = SSHLOG_DEBUG1, .show_func = true},
           "provider %s returned no slots", module_path);
    return -3;
  }
  // The count sizes an allocation: refuse what no real module reports.
  if (nslots > PKCS11_MAX_SLOTS) {
    log_as("pkcs11_initialize_provider", {.level = SSHLOG_ERROR}, "provider %s reported %lu slots",
           module_path, nslots);
    return -1;
  }
  m->slotlist = static_cast<CK_SLOT_ID *>(xcalloc(nslots, sizeof(CK_SLOT_ID)));
  CK_ULONG listed = nslots;
  rv = PKCS11_CALL(f, C_GetSlotList, CK_TRUE, m->slotlist, &listed);
  if (rv == CKR_OK && listed > nslots) {
    // Claims more entries than the array it was given holds.
    rv = CKR_BUFFER_TOO_SMALL;
  }
  if (rv != CKR_OK) {
    log_as("pkcs11_initialize_provider", {.level = SSHLOG_ERROR},
           "C_GetSlotList for provider %s failed: %lu", module_path, rv);
    return -1;
  }
  m->nslots = listed;

  m->slotinfo = static_cast<pkcs11_slot *>(xcalloc(m->nslots, sizeof(pkcs11_slot)));
  m->valid = 1;
  for (CK_ULONG i = 0; i < m->nslots; i++) {
    CK_TOKEN_INFO *token = &m->slotinfo[i].token;
    rv = PKCS11_CALL(f, C_GetTokenInfo, m->slotlist[i], token);
    if (rv != CKR_OK) {
      log_as("pkcs11_initialize_provider", {.level = SSHLOG_ERROR},
             "C_GetTokenInfo for provider %s slot %lu failed: %lu", module_path, i, rv);
      token->flags = 0;
      continue;
    }
    pkcs11_slot *s = &m->slotinfo[i];
    trim_field(s->label, token->label, sizeof(token->label));
    trim_field(s->manufacturer_id, token->manufacturerID, sizeof(token->manufacturerID));
    trim_field(s->model, token->model, sizeof(token->model));
    trim_field(s->serial, token->serialNumber, sizeof(token->serialNumber));
  }

  p->module = m.release();
  p->valid = 1;
  return 0;
}
