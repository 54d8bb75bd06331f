// The list of keys handed to the agent.
#include "service/key_list.h"

#include <cstdlib>
#include <cstring>

#include "key/sshkey.h"
#include "log/log.h"
#include "pkcs11/ssh-pkcs11.h"
#include "util/xmalloc.h"

namespace {

key_list keys = {nullptr, &keys.head};

void key_entry_free(key_entry *e) {
  free(e->provider_name);
  free(e->label);
  sshkey_free(e->key);
  free(e);
}

}  // namespace

void key_list_init(void) {
  keys.head = nullptr;
  keys.tail = &keys.head;
}

void key_list_add(sshkey *key, const char *provider_name, const char *label) {
  auto *e = static_cast<key_entry *>(xcalloc(1, sizeof(key_entry)));
  e->provider_name = xstrdup(provider_name);
  e->key = key;
  e->label = xstrdup(label != nullptr ? label : "");
  e->next = nullptr;
  *keys.tail = e;
  keys.tail = &e->next;
}

void key_list_remove_provider(const char *provider_name) {
  key_entry **link = &keys.head;
  while (key_entry *e = *link) {
    if (strcmp(e->provider_name, provider_name) != 0) {
      link = &e->next;
      continue;
    }
    *link = e->next;
    if (keys.tail == &e->next) keys.tail = link;
    key_entry_free(e);
  }
}

sshkey *lookup_key(const sshkey *key) {
  // Entries of a provider that was removed under another name stay listed;
  // an equal key of a provider still loaded must win over them. When only
  // such entries match, the first is returned and fails to sign as before.
  sshkey *stale = nullptr;
  for (key_entry *e = keys.head; e != nullptr; e = e->next) {
    log_debug1("check %s %s %s", sshkey_short_name(e->key), e->provider_name, e->label);
    if (!sshkey_equal(key, e->key)) continue;
    if (pkcs11_key_is_live(e->key)) return e->key;
    if (stale == nullptr) stale = e->key;
  }
  return stale;
}

int key_list_count(void) {
  int n = 0;
  for (const key_entry *e = keys.head; e != nullptr; e = e->next) n++;
  return n;
}
