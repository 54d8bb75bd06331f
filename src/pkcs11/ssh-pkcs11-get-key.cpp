// Preparing a signature on the token: finding the key's private half,
// starting the operation, the per-signature login of always-authenticate
// keys, and ending an operation that no signature will finish.
#include <openssl/crypto.h>

#include "log/log.h"
#include "pkcs11/ssh-pkcs11-call.h"
#include "pkcs11/ssh-pkcs11-internal.h"

// Ends a signing operation that C_SignInit started and no signature will
// finish. Left active, it would make every later search and signature on
// the slot's session fail with CKR_OPERATION_ACTIVE. PKCS#11 2.40 has no
// call to cancel it, but a C_Sign that is neither a length query nor given
// too small a buffer always ends it; without its context-specific login the
// key refuses, and whatever comes back is thrown away.
void pkcs11_end_sign_operation(CK_FUNCTION_LIST *f, CK_SESSION_HANDLE session) {
  CK_BYTE none = 0;
  CK_BYTE sig[1024];  // room for an RSA-8192 signature
  CK_ULONG len = sizeof(sig);
  CK_RV rv = PKCS11_CALL(f, C_Sign, session, &none, 0, sig, &len);
  OPENSSL_cleanse(sig, sizeof(sig));
  log_debug1_f("ended the signing operation: %lu", rv);
}

void pkcs11_check_obj_bool_attrib(pkcs11_key *k11, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_TYPE type,
                                  int *val) {
  *val = 0;
  if (!pkcs11_key_provider_usable(k11)) {
    log_error("no pkcs11 (valid) provider found");
    return;
  }
  CK_FUNCTION_LIST *f = k11->provider->module->function_list;
  pkcs11_slot *si = &k11->provider->module->slotinfo[k11->slot_index];
  CK_BBOOL flag = CK_FALSE;
  CK_ATTRIBUTE attr = {type, &flag, sizeof(flag)};
  CK_RV rv = PKCS11_CALL(f, C_GetAttributeValue, si->session, obj, &attr, 1);
  if (rv == CKR_OK && attr.ulValueLen != sizeof(flag)) rv = CKR_ATTRIBUTE_VALUE_INVALID;
  if (rv != CKR_OK) {
    log_error("C_GetAttributeValue failed: %lu", rv);
    return;
  }
  *val = flag != CK_FALSE;
  log_debug1_f("provider \"%s\" slot %lu object %lu: attrib %lu = %d", k11->provider->name,
               k11->slot_index, obj, type, *val);
}

int pkcs11_get_key(pkcs11_key *k11, CK_MECHANISM_TYPE mech_type) {
  if (!pkcs11_key_provider_usable(k11)) {
    log_error("no pkcs11 (valid) provider found");
    return -1;
  }
  pkcs11_provider *p = k11->provider;
  CK_FUNCTION_LIST *f = p->module->function_list;
  pkcs11_slot *si = &p->module->slotinfo[k11->slot_index];

  bool did_login = false;
  if ((si->token.flags & CKF_LOGIN_REQUIRED) != 0 && !si->logged_in) {
    if (pkcs11_login(k11, CKU_USER) < 0) {
      log_error("login failed");
      return -1;
    }
    did_login = true;
  }

  CK_OBJECT_CLASS private_key_class = CKO_PRIVATE_KEY;
  CK_BBOOL true_val = CK_TRUE;
  CK_ATTRIBUTE key_filter[] = {
      {CKA_CLASS, &private_key_class, sizeof(private_key_class)},
      {CKA_ID, k11->cka_id, static_cast<CK_ULONG>(k11->cka_id_len)},
      {CKA_SIGN, &true_val, sizeof(true_val)},
  };
  CK_OBJECT_HANDLE obj = CK_INVALID_HANDLE;
  // Some tokens leave CKA_SIGN off their private keys: try without it.
  if (pkcs11_find(p, k11->slot_index, key_filter, 3, &obj) < 0 &&
      pkcs11_find(p, k11->slot_index, key_filter, 2, &obj) < 0) {
    log_error("cannot find private key");
    return -1;
  }

  CK_MECHANISM mech = {mech_type, nullptr, 0};
  CK_RV rv = PKCS11_CALL(f, C_SignInit, si->session, &mech, obj);
  if (rv != CKR_OK) {
    log_error("C_SignInit failed: %lu", rv);
    return -1;
  }

  int always_auth = 0;
  pkcs11_check_obj_bool_attrib(k11, obj, CKA_ALWAYS_AUTHENTICATE, &always_auth);
  if (always_auth && !did_login) {
    log_debug1_f("always-auth key");
    if (pkcs11_login(k11, CKU_CONTEXT_SPECIFIC) < 0) {
      log_error("login failed for always-auth key");
      pkcs11_end_sign_operation(f, si->session);
      return -1;
    }
  }
  return 0;
}

CK_RV pkcs11_sign_prepared(pkcs11_key *k11, const unsigned char *data, CK_ULONG len,
                           unsigned char *sig, CK_ULONG *siglen) {
  CK_FUNCTION_LIST *f = k11->provider->module->function_list;
  CK_SESSION_HANDLE session = k11->provider->module->slotinfo[k11->slot_index].session;
  CK_RV rv = PKCS11_CALL(f, C_Sign, session, const_cast<CK_BYTE *>(data), len, sig, siglen);
  if (rv != CKR_OK) {
    log_error("C_Sign failed: %lu", rv);
    // Too small a buffer keeps the operation active; left so, it would make
    // every later signature on the session fail.
    if (rv == CKR_BUFFER_TOO_SMALL) pkcs11_end_sign_operation(f, session);
  }
  return rv;
}
