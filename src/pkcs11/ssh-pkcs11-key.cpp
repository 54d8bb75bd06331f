// The pkcs11_key record bound to token-backed keys: its creation, its
// release with the libcrypto object that carries it, and whether its
// provider can still sign.
#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>

#include "key/sshkey.h"
#include "log/log.h"
#include "pkcs11/ssh-pkcs11-internal.h"
#include "util/xmalloc.h"

bool pkcs11_key_provider_usable(const pkcs11_key *k11) {
  const pkcs11_provider *p = k11->provider;
  return p != nullptr && p->valid && p->module != nullptr && p->module->valid &&
         k11->slot_index < p->module->nslots;
}

int pkcs11_key_is_live(const sshkey *key) {
  if (key == nullptr) return 0;
  const pkcs11_key *k11 = nullptr;
  if (key->rsa != nullptr)
    k11 = pkcs11_rsa_key_of(key->rsa);
  else if (key->ecdsa != nullptr)
    k11 = pkcs11_ecdsa_key_of(key->ecdsa);
  return k11 != nullptr && pkcs11_key_provider_usable(k11) ? 1 : 0;
}

pkcs11_key *pkcs11_key_new(pkcs11_provider *provider, CK_ULONG slotidx,
                           const CK_ATTRIBUTE *keyid_attrib, const CK_ATTRIBUTE *label_attrib) {
  auto *k11 = static_cast<pkcs11_key *>(xcalloc(1, sizeof(pkcs11_key)));
  k11->provider = provider;
  provider->refcount++;
  k11->slot_index = slotidx;
  k11->cka_id_len = static_cast<int>(keyid_attrib->ulValueLen);
  if (k11->cka_id_len > 0) {
    k11->cka_id = static_cast<unsigned char *>(xmalloc(keyid_attrib->ulValueLen));
    memcpy(k11->cka_id, keyid_attrib->pValue, keyid_attrib->ulValueLen);
  }
  if (label_attrib->ulValueLen != 0) {
    k11->cka_label = static_cast<char *>(xmalloc(label_attrib->ulValueLen + 1));
    memcpy(k11->cka_label, label_attrib->pValue, label_attrib->ulValueLen);
    k11->cka_label[label_attrib->ulValueLen] = '\0';
  }
  return k11;
}

void pkcs11_k11_free(void *parent, void *ptr, CRYPTO_EX_DATA *ad, int idx, long argl,
                     void *argp) noexcept {
  (void)ad;
  (void)argl;
  (void)argp;
  log_debug1_f("parent %p ptr %p idx %d", parent, ptr, idx);
  if (ptr == nullptr) return;
  auto *k11 = static_cast<pkcs11_key *>(ptr);
  if (k11->provider != nullptr) pkcs11_provider_unref(k11->provider);
  free(k11->cka_id);
  free(k11->cka_label);
  free(k11);
}
