// Key discovery on one slot: enumerate the public-key and certificate
// objects and build a key from each usable one; pkcs11_accept_key keeps it.
#include <cstdlib>
#include <cstring>

#include "key/sshkey.h"
#include "log/log.h"
#include "pkcs11/ssh-pkcs11-attr.h"
#include "pkcs11/ssh-pkcs11-call.h"
#include "pkcs11/ssh-pkcs11-internal.h"
#include "util/deleters.h"
#include "util/xmalloc.h"

namespace {

// The search template of one enumeration: the class, then the URI's id and
// object label when it names them.
struct search_template {
  CK_OBJECT_CLASS object_class;
  CK_ATTRIBUTE attr[3];
  CK_ULONG nattr;
};

void make_search(search_template *t, CK_OBJECT_CLASS object_class, const pkcs11_uri *uri) {
  t->object_class = object_class;
  t->attr[0] = {CKA_CLASS, &t->object_class, sizeof(t->object_class)};
  t->nattr = 1;
  if (uri->id != nullptr)
    t->attr[t->nattr++] = {CKA_ID, uri->id, static_cast<CK_ULONG>(uri->id_length)};
  if (uri->object_label != nullptr)
    t->attr[t->nattr++] = {CKA_LABEL, uri->object_label,
                           static_cast<CK_ULONG>(strlen(uri->object_label))};
}

// What one enumeration does with each object it finds. Returns false when
// the slot's enumeration must stop (the classification read failed).
using visit_fn = bool (*)(pkcs11_provider *p, CK_ULONG slotidx, CK_OBJECT_HANDLE obj,
                          sshkey ***keysp, char ***labelsp, int *nkeys);

void enumerate(pkcs11_provider *p, CK_ULONG slotidx, CK_OBJECT_CLASS object_class,
               const pkcs11_uri *uri, const char *context, visit_fn visit, sshkey ***keysp,
               char ***labelsp, int *nkeys) {
  CK_FUNCTION_LIST *f = p->module->function_list;
  CK_SESSION_HANDLE session = p->module->slotinfo[slotidx].session;
  search_template search;
  make_search(&search, object_class, uri);

  CK_RV rv = pkcs11_find_objects_init(f, session, search.attr, search.nattr);
  if (rv != CKR_OK) {
    log_as(context, {.level = SSHLOG_ERROR}, "C_FindObjectsInit failed: %lu", rv);
  } else {
    for (CK_ULONG examined = 0;; examined++) {
      if (examined == PKCS11_MAX_OBJECTS) {
        log_as(context, {.level = SSHLOG_ERROR}, "stopping after %lu objects in slot %lu", examined,
               slotidx);
        break;
      }
      CK_OBJECT_HANDLE obj = CK_INVALID_HANDLE;
      CK_ULONG nfound = 0;
      rv = PKCS11_CALL(f, C_FindObjects, session, &obj, 1, &nfound);
      if (rv != CKR_OK) {
        log_as(context, {.level = SSHLOG_ERROR}, "C_FindObjects failed: %lu", rv);
        break;
      }
      if (nfound == 0) break;
      if (!visit(p, slotidx, obj, keysp, labelsp, nkeys)) break;
    }
  }
  rv = PKCS11_CALL(f, C_FindObjectsFinal, session);
  if (rv != CKR_OK) log_as(context, {.level = SSHLOG_ERROR}, "C_FindObjectsFinal failed: %lu", rv);
}

// Reads the key type and a label too long for the classification buffer at
// its own length (up to PKCS11_MAX_LABEL_LEN bytes). False when the token
// will not say, or the label is longer than that.
bool read_long_label(pkcs11_provider *p, CK_ULONG slotidx, CK_OBJECT_HANDLE obj,
                     CK_KEY_TYPE *key_type, vardek::malloc_ptr<char> *out) {
  static constexpr attr_row kRows[] = {{CKA_KEY_TYPE, true}, {CKA_LABEL, false}};
  attr_table r(kRows);
  if (!r.read("pkcs11_fetch_keys", p, slotidx, obj)) return false;
  const CK_ATTRIBUTE &type = r[CKA_KEY_TYPE], &label = r[CKA_LABEL];
  if (type.ulValueLen != sizeof(*key_type) || label.ulValueLen > PKCS11_MAX_LABEL_LEN) return false;
  memcpy(key_type, type.pValue, sizeof(*key_type));
  auto *text = static_cast<char *>(xcalloc(1, label.ulValueLen + 1));
  if (label.ulValueLen > 0) memcpy(text, label.pValue, label.ulValueLen);
  out->reset(text);
  return true;
}

bool visit_public_key(pkcs11_provider *p, CK_ULONG slotidx, CK_OBJECT_HANDLE obj, sshkey ***keysp,
                      char ***labelsp, int *nkeys) {
  static const char context[] = "pkcs11_fetch_keys";
  CK_FUNCTION_LIST *f = p->module->function_list;
  CK_SESSION_HANDLE session = p->module->slotinfo[slotidx].session;
  CK_KEY_TYPE key_type = 0;
  char label[256] = {};
  CK_ATTRIBUTE attribs[] = {
      {CKA_KEY_TYPE, &key_type, sizeof(key_type)},
      {CKA_LABEL, label, sizeof(label) - 1},
  };
  CK_RV rv = PKCS11_CALL(f, C_GetAttributeValue, session, obj, attribs, 2);
  // A label longer than the buffer: CKR_BUFFER_TOO_SMALL from a conforming
  // token, or success with the longer length from one that is not. Read it
  // again at its own size; only this object is affected if that fails.
  vardek::malloc_ptr<char> long_label;
  const CK_ULONG label_len = attribs[1].ulValueLen;
  const bool label_too_long =
      rv == CKR_BUFFER_TOO_SMALL ||
      (rv == CKR_OK && label_len != CK_UNAVAILABLE_INFORMATION && label_len > sizeof(label) - 1);
  if (label_too_long) {
    if (!read_long_label(p, slotidx, obj, &key_type, &long_label)) {
      log_as(context, {.level = SSHLOG_ERROR}, "C_GetAttributeValue failed: %lu",
             static_cast<CK_RV>(CKR_BUFFER_TOO_SMALL));
      return true;
    }
  } else if (rv != CKR_OK) {
    log_as(context, {.level = SSHLOG_ERROR}, "C_GetAttributeValue failed: %lu", rv);
    return false;
  } else if (attribs[0].ulValueLen != sizeof(key_type) ||
             attribs[1].ulValueLen > sizeof(label) - 1) {
    // Success with a length its buffer cannot hold (or with
    // CK_UNAVAILABLE_INFORMATION) breaks the rules: skip that object,
    // reporting what a conforming token would have answered.
    log_as(
        context, {.level = SSHLOG_ERROR}, "C_GetAttributeValue failed: %lu",
        static_cast<CK_RV>(attribs[0].ulValueLen != sizeof(key_type) ? CKR_ATTRIBUTE_VALUE_INVALID
                                                                     : CKR_BUFFER_TOO_SMALL));
    return true;
  } else {
    label[attribs[1].ulValueLen] = '\0';
  }
  const char *label_text = long_label ? long_label.get() : label;

  sshkey *key = nullptr;
  switch (key_type) {
    case CKK_RSA:
      key = pkcs11_fetch_rsa_pubkey(p, slotidx, obj);
      break;
    case CKK_EC:
      key = pkcs11_fetch_ecdsa_pubkey(p, slotidx, obj);
      break;
    default:
      log_as(context, {.level = SSHLOG_ERROR}, "skipping unsupported key type");
      break;
  }
  if (key == nullptr) {
    log_as(context, {.level = SSHLOG_ERROR}, "failed to fetch key");
    return true;
  }
  pkcs11_accept_key(p, slotidx, context, key, label_text, keysp, labelsp, nkeys);
  return true;
}

bool visit_certificate(pkcs11_provider *p, CK_ULONG slotidx, CK_OBJECT_HANDLE obj, sshkey ***keysp,
                       char ***labelsp, int *nkeys) {
  static const char context[] = "pkcs11_fetch_certs";
  CK_FUNCTION_LIST *f = p->module->function_list;
  CK_SESSION_HANDLE session = p->module->slotinfo[slotidx].session;
  CK_CERTIFICATE_TYPE cert_type = 0;
  CK_ATTRIBUTE attribs[] = {{CKA_CERTIFICATE_TYPE, &cert_type, sizeof(cert_type)}};
  CK_RV rv = PKCS11_CALL(f, C_GetAttributeValue, session, obj, attribs, 1);
  if (rv != CKR_OK) {
    log_as(context, {.level = SSHLOG_ERROR}, "C_GetAttributeValue failed: %lu", rv);
    return false;
  }
  if (attribs[0].ulValueLen != sizeof(cert_type)) {
    log_as(context, {.level = SSHLOG_ERROR}, "C_GetAttributeValue failed: %lu",
           static_cast<CK_RV>(CKR_ATTRIBUTE_VALUE_INVALID));
    return true;
  }
  if (cert_type != CKC_X_509) {
    log_as(context, {.level = SSHLOG_ERROR}, "skipping unsupported certificate type %lu",
           cert_type);
    return true;
  }
  char *subject = nullptr;
  sshkey *key = pkcs11_fetch_x509_pubkey(p, slotidx, obj, &subject);
  vardek::malloc_ptr<char> label(subject);
  if (key == nullptr) {
    log_as(context, {.level = SSHLOG_ERROR}, "failed to fetch key");
    return true;
  }
  pkcs11_accept_key(p, slotidx, context, key, label ? label.get() : "", keysp, labelsp, nkeys);
  return true;
}

}  // namespace

void pkcs11_fetch_keys(pkcs11_provider *p, CK_ULONG slotidx, sshkey ***keysp, char ***labelsp,
                       int *nkeys, const pkcs11_uri *uri) {
  enumerate(p, slotidx, CKO_PUBLIC_KEY, uri, __func__, visit_public_key, keysp, labelsp, nkeys);
}

void pkcs11_fetch_certs(pkcs11_provider *p, CK_ULONG slotidx, sshkey ***keysp, char ***labelsp,
                        int *nkeys, const pkcs11_uri *uri) {
  enumerate(p, slotidx, CKO_CERTIFICATE, uri, __func__, visit_certificate, keysp, labelsp, nkeys);
}
