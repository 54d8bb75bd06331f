// The provider registry: names become providers, providers share modules,
// and both are reference-counted so that keys handed out earlier stay safe
// to release after their provider has gone.
#include <cstdlib>
#include <cstring>

#include "key/sshkey.h"
#include "log/log.h"
#include "pkcs11/ssh-pkcs11-internal.h"
#include "util/deleters.h"
#include "util/xmalloc.h"

VARDEK_DELETER(pkcs11_uri, pkcs11_uri_cleanup);

namespace {

// A provider record that never joined the registry: it holds no module.
void release_unregistered(pkcs11_provider *p) {
  free(p->name);
  free(p);
}

}  // namespace

VARDEK_DELETER(pkcs11_provider, release_unregistered);

#ifndef VARDEK_DEFAULT_MODULE
#define VARDEK_DEFAULT_MODULE "/usr/lib64/p11-kit-proxy.so"
#endif

pkcs11_provider_head provider_list = TAILQ_HEAD_INITIALIZER(provider_list);
int pkcs11_interactive = 0;

namespace {

constexpr char kUriPrefix[] = "pkcs11:";
constexpr size_t kUriPrefixLen = sizeof(kUriPrefix) - 1;

// The URI record of a provider name: parsed when it is a URI, else the
// whole name is the module path. Unusable names end the process.
vardek::unique_ptr<pkcs11_uri> uri_for_name(const char *name) {
  vardek::unique_ptr<pkcs11_uri> uri(pkcs11_uri_init());
  if (!uri) log_fatal("Failed to init PKCS#11 URI");
  if (strlen(name) >= kUriPrefixLen && strncmp(name, kUriPrefix, kUriPrefixLen) == 0) {
    if (pkcs11_uri_parse(name, uri.get()) != 0) log_fatal("Failed to parse PKCS#11 URI");
  } else {
    uri->module_path = xstrdup(name);
  }
  return uri;
}

bool any_key_encodes(sshkey **keys, int nkeys) {
  for (int i = 0; i < nkeys; i++) {
    unsigned char *blob = nullptr;
    size_t len = 0;
    int r = sshkey_to_offerable_blob(keys[i], &blob, &len);
    free(blob);
    if (r == 0) return true;
  }
  return false;
}

}  // namespace

void pkcs11_free_keys(sshkey **keys, char **labels, int nkeys) {
  for (int i = 0; i < nkeys; i++) {
    if (keys != nullptr) sshkey_free(keys[i]);
    if (labels != nullptr) free(labels[i]);
  }
  free(keys);
  free(labels);
}

void pkcs11_init(int interactive) {
  pkcs11_interactive = interactive;
  TAILQ_INIT(&provider_list);
}

int pkcs11_add_provider(const char *provider_id, const char *pin, sshkey ***keysp,
                        char ***labelsp) {
  vardek::unique_ptr<pkcs11_uri> uri = uri_for_name(provider_id);
  return pkcs11_add_provider_by_uri(uri.get(), pin, keysp, labelsp);
}

int pkcs11_add_provider_by_uri(pkcs11_uri *uri, const char *pin, sshkey ***keysp, char ***labelsp) {
  vardek::malloc_ptr<char> provider_uri(pkcs11_uri_get(uri));
  const char *text = provider_uri ? provider_uri.get() : "(null)";
  log_debug1_f("called, provider_uri = %s", text);

  pkcs11_provider *p = nullptr;
  int nkeys = pkcs11_register_provider_by_uri(uri, pin, keysp, labelsp, &p, CKU_USER);
  if (nkeys > 0 && keysp != nullptr && !any_key_encodes(*keysp, nkeys)) {
    // Keys without a blob that decodes again (curves SSH has no name for,
    // RSA moduli below the minimum) cannot be offered: a provider with only
    // such keys yields none.
    pkcs11_free_keys(*keysp, labelsp != nullptr ? *labelsp : nullptr, nkeys);
    *keysp = nullptr;
    if (labelsp != nullptr) *labelsp = nullptr;
    nkeys = 0;
  }
  if (nkeys <= 0 && p != nullptr) {
    TAILQ_REMOVE(&provider_list, p, next);
    pkcs11_provider_finalize(p);
    pkcs11_provider_unref(p);
  }
  if (nkeys == 0) log_debug1_f("provider %s returned no keys", text);
  return nkeys;
}

int pkcs11_register_provider_by_uri(pkcs11_uri *uri, const char *pin, sshkey ***keysp,
                                    char ***labelsp, pkcs11_provider **providerp, CK_ULONG user) {
  *providerp = nullptr;
  if (keysp != nullptr) *keysp = nullptr;
  if (labelsp != nullptr) *labelsp = nullptr;
  int nkeys = 0;

  const char *module_path = uri->module_path != nullptr ? uri->module_path : VARDEK_DEFAULT_MODULE;
  vardek::unique_ptr<pkcs11_provider> building(
      static_cast<pkcs11_provider *>(xcalloc(1, sizeof(pkcs11_provider))));
  building->name = pkcs11_uri_get(uri);
  if (building->name == nullptr) building->name = xstrdup("");

  pkcs11_module *m = pkcs11_provider_lookup_module(module_path);
  if (m != nullptr && m->valid) {
    log_as("pkcs11_initialize_provider", {.level = SSHLOG_DEBUG1, .show_func = true},
           "provider module already initialized: %s", module_path);
    m->refcount++;
    building->module = m;
    building->valid = 1;
  } else {
    int r = pkcs11_initialize_provider(uri, module_path, building.get());
    if (r != 0) return r;
  }
  // Only a provider with a valid module joins the registry.
  pkcs11_provider *p = building.release();
  TAILQ_INSERT_TAIL(&provider_list, p, next);
  p->refcount++;

  pkcs11_register_slots(uri, pin, p, keysp, labelsp, &nkeys, user);
  *providerp = p;
  return nkeys;
}

pkcs11_module *pkcs11_provider_lookup_module(const char *module_path) {
  pkcs11_provider *q;
  TAILQ_FOREACH(q, &provider_list, next) {
    const char *path = q->module != nullptr ? q->module->module_path : nullptr;
    log_debug1("check %p %s (%s)", static_cast<void *>(q), q->name,
               path != nullptr ? path : "(null)");
    if (path != nullptr && strcmp(path, module_path) == 0) return q->module;
  }
  return nullptr;
}

int pkcs11_del_provider(const char *provider_id) {
  log_debug1_f("called, provider_id = %s", provider_id);
  vardek::unique_ptr<pkcs11_uri> uri = uri_for_name(provider_id);
  return pkcs11_del_provider_by_uri(uri.get());
}

int pkcs11_del_provider_by_uri(pkcs11_uri *uri) {
  vardek::malloc_ptr<char> provider_uri(pkcs11_uri_get(uri));
  const char *text = provider_uri ? provider_uri.get() : "";
  log_debug3_f("called with provider %s", text);

  pkcs11_provider *p = pkcs11_provider_lookup(text);
  if (p == nullptr) return -1;
  TAILQ_REMOVE(&provider_list, p, next);
  pkcs11_provider_finalize(p);
  pkcs11_provider_unref(p);
  return 0;
}

pkcs11_provider *pkcs11_provider_lookup(const char *provider_id) {
  pkcs11_provider *p;
  TAILQ_FOREACH(p, &provider_list, next) {
    log_debug1("check provider \"%s\"", p->name);
    if (strcmp(provider_id, p->name) == 0) return p;
  }
  return nullptr;
}

void pkcs11_provider_finalize(pkcs11_provider *p) {
  log_debug1_f("%p refcount %d valid %d", static_cast<void *>(p), p->refcount, p->valid);
  if (!p->valid) return;
  pkcs11_module_unref(p->module);
  p->module = nullptr;
  p->valid = 0;
}

void pkcs11_provider_unref(pkcs11_provider *p) {
  log_debug1_f("provider \"%s\" refcount %d", p->name, p->refcount);
  if (--p->refcount > 0) return;
  free(p->name);
  if (p->module != nullptr) pkcs11_module_unref(p->module);
  free(p);
}
