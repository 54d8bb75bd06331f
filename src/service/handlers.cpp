#define OPENSSL_SUPPRESS_DEPRECATED  // RSA_private_encrypt, ECDSA_sign on token keys
// The three request handlers: add a provider, remove a provider, sign.
#include <openssl/ecdsa.h>
#include <openssl/rsa.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "agentproto/messages.h"
#include "buffer/sshbuf-ptr.h"
#include "buffer/sshbuf.h"
#include "key/sshkey.h"
#include "log/log.h"
#include "log/ssherr.h"
#include "pkcs11/ssh-pkcs11.h"
#include "service/key_list.h"
#include "service/vardek.h"
#include "util/deleters.h"
#include "util/ossl_ptr.h"
#include "util/wipe.h"
#include "util/xmalloc.h"

namespace {

// Appends the (blob, label) pairs of the keys that encode to `items` and
// hands those keys to the key list; keys that do not encode are released.
// Returns the number of pairs written, which is what the answer counts.
uint32_t add_identities(sshbuf *items, sshkey **keys, char **labels, int nkeys, const char *name) {
  uint32_t nanswered = 0;
  for (int i = 0; i < nkeys; i++) {
    unsigned char *blob = nullptr;
    size_t blen = 0;
    // A key whose blob would not decode again (a curve SSH has no name
    // for, an RSA modulus below the minimum) could never be asked to sign.
    int r = sshkey_to_offerable_blob(keys[i], &blob, &blen);
    if (r != 0) {
      log_as("process_add", {.level = SSHLOG_DEBUG1, .show_func = true, .suffix = ssh_err(r)},
             "encode key");
      continue;  // neither answered nor remembered; released with the arrays
    }
    const char *label = labels[i] != nullptr ? labels[i] : "";
    if ((r = sshbuf_put_string(items, blob, blen)) != 0 ||
        (r = sshbuf_put_cstring(items, label)) != 0)
      fatal_as("process_add", {.show_func = true, .suffix = ssh_err(r)}, "compose key");
    free(blob);
    key_list_add(keys[i], name, label);
    keys[i] = nullptr;  // the key list owns it now
    nanswered++;
  }
  return nanswered;
}

}  // namespace

void process_add(sshbuf *req) {
  vardek::unique_ptr<sshbuf> msg(sshbuf_new());
  if (msg == nullptr) log_fatal_f("sshbuf_new failed");

  int r;
  char *name = nullptr, *pin = nullptr;
  if ((r = sshbuf_get_cstring(req, &name, nullptr)) != 0 ||
      (r = sshbuf_get_cstring(req, &pin, nullptr)) != 0)
    log_fatal_fr(r, "parse");

  sshkey **keys = nullptr;
  char **labels = nullptr;
  int count = pkcs11_add_provider(name, pin, &keys, &labels);
  vardek::clear_free_text(pin);  // the PIN copy is wiped; the name is not

  if (count > 0) {
    // Only keys that encode are answered and remembered, so the count
    // always matches the entries that follow it.
    vardek::unique_ptr<sshbuf> items(sshbuf_new());
    if (items == nullptr) log_fatal_f("sshbuf_new failed");
    uint32_t nanswered = add_identities(items.get(), keys, labels, count, name);
    if ((r = sshbuf_put_u8(msg.get(), SSH_AGENT_IDENTITIES_ANSWER)) != 0 ||
        (r = sshbuf_put_u32(msg.get(), nanswered)) != 0 ||
        (r = sshbuf_putb(msg.get(), items.get())) != 0)
      log_fatal_fr(r, "compose");
  } else {
    if ((r = sshbuf_put_u8(msg.get(), SSH_AGENT_FAILURE)) != 0 ||
        (r = sshbuf_put_u32(msg.get(), static_cast<uint32_t>(-count))) != 0)
      log_fatal_fr(r, "compose");
  }

  pkcs11_free_keys(keys, labels, count > 0 ? count : 0);
  free(name);
  send_msg(msg.get());
}

void process_del(sshbuf *req) {
  vardek::unique_ptr<sshbuf> msg(sshbuf_new());
  if (msg == nullptr) log_fatal_f("sshbuf_new failed");

  int r;
  char *name = nullptr, *pin = nullptr;
  if ((r = sshbuf_get_cstring(req, &name, nullptr)) != 0 ||
      (r = sshbuf_get_cstring(req, &pin, nullptr)) != 0)
    log_fatal_fr(r, "parse");
  vardek::clear_free_text(pin);  // carried by the request, never used

  // The entries go whatever the registry finds under this name.
  key_list_remove_provider(name);
  r = pkcs11_del_provider(name);
  int put = sshbuf_put_u8(msg.get(), r == 0 ? SSH_AGENT_SUCCESS : SSH_AGENT_FAILURE);
  if (put != 0) log_fatal_fr(put, "compose");

  free(name);
  send_msg(msg.get());
}

namespace {

// Signs `data` with the remembered key `found`, sized by the request's key
// `key` (which equals it). On success *sigp/*slenp hold a malloc'd signature.
bool sign_with(const sshkey *key, sshkey *found, const unsigned char *data, size_t dlen,
               unsigned char **sigp, size_t *slenp) {
  *sigp = nullptr;
  *slenp = 0;
  switch (key->type) {
    case KEY_TYPE_RSA: {
      int len = RSA_size(key->rsa);
      if (len <= 0) return false;
      vardek::malloc_ptr<unsigned char> sig(static_cast<unsigned char *>(xmalloc(len)));
      int n = RSA_private_encrypt(static_cast<int>(dlen), data, sig.get(), found->rsa,
                                  RSA_PKCS1_PADDING);
      // Any negative result is a failure; the length sent is what was made.
      if (n < 0) return false;
      *slenp = static_cast<size_t>(n);
      *sigp = sig.release();
      return true;
    }
    case KEY_TYPE_ECDSA: {
      int len = ECDSA_size(key->ecdsa);
      if (len <= 0) return false;
      vardek::malloc_ptr<unsigned char> sig(static_cast<unsigned char *>(xmalloc(len)));
      // What ECDSA_sign does with a token key (its sign operation is
      // libcrypto's, which calls ECDSA_do_sign and DER-encodes the result),
      // with a direct DER encoder in place of the ASN.1 template one.
      vardek::unique_ptr<ECDSA_SIG> s(ECDSA_do_sign(data, static_cast<int>(dlen), found->ecdsa));
      size_t siglen =
          s != nullptr ? sshkey_ecdsa_sig_to_der(s.get(), sig.get(), static_cast<size_t>(len)) : 0;
      if (siglen == 0) {
        log_as("process_sign", {.level = SSHLOG_ERROR, .show_func = true}, "ECDSA_sign returned %d",
               0);
        return false;
      }
      *slenp = siglen;
      *sigp = sig.release();
      return true;
    }
    default:
      log_as("process_sign", {.level = SSHLOG_ERROR, .show_func = true},
             "don't know how to sign with key type %d", key->type);
      return false;
  }
}

}  // namespace

void process_sign(sshbuf *req) {
  int r;
  unsigned char *blob = nullptr, *data = nullptr;
  size_t blen = 0, dlen = 0;
  if ((r = sshbuf_get_string(req, &blob, &blen)) != 0 ||
      (r = sshbuf_get_string(req, &data, &dlen)) != 0 || (r = sshbuf_get_u32(req, nullptr)) != 0)
    log_fatal_fr(r, "parse");
  vardek::malloc_ptr<unsigned char> blob_owner(blob), data_owner(data);

  sshkey *key = nullptr;
  {
    vardek::unique_ptr<sshbuf> view(sshbuf_from(blob, blen));
    r = view == nullptr ? SSH_ERR_ALLOCATION_FAILED
                        : sshkey_from_blob_internal(view.get(), &key, 1);
  }
  if (r != 0) log_fatal_fr(r, "decode key");

  unsigned char *signature = nullptr;
  size_t slen = 0;
  bool ok = false;
  if (sshkey *found = lookup_key(key)) ok = sign_with(key, found, data, dlen, &signature, &slen);
  vardek::malloc_ptr<unsigned char> signature_owner(signature);
  sshkey_free(key);

  vardek::unique_ptr<sshbuf> msg(sshbuf_new());
  if (msg == nullptr) log_fatal_f("sshbuf_new failed");
  if (ok) {
    if ((r = sshbuf_put_u8(msg.get(), SSH_AGENT_SIGN_RESPONSE)) != 0 ||
        (r = sshbuf_put_string(msg.get(), signature, slen)) != 0)
      log_fatal_fr(r, "compose response");
  } else if ((r = sshbuf_put_u8(msg.get(), SSH_AGENT_SIGN_FAILURE)) != 0) {
    log_fatal_fr(r, "compose failure response");
  }
  send_msg(msg.get());
}
