// Records and functions shared inside the PKCS#11 provider layer: the
// registry of providers and modules, slot state, the per-key record bound to
// token-backed libcrypto keys, and the operations the layer's files call on
// each other. Nothing outside src/pkcs11 and its tests includes this.
#ifndef VARDEK_PKCS11_SSH_PKCS11_INTERNAL_H
#define VARDEK_PKCS11_SSH_PKCS11_INTERNAL_H

#include <openssl/types.h>
#include <p11-kit/pkcs11.h>
#include <sys/queue.h>

#include <cstddef>
#include <type_traits>

#include "pkcs11/ssh-pkcs11-uri.h"
#include "pkcs11/ssh-pkcs11.h"

struct sshkey;

// One slot of a module; its index in the module's arrays is the slot index
// used throughout the layer.
struct pkcs11_slot {
  CK_TOKEN_INFO token;  // as the module gave it; flags 0 when C_GetTokenInfo failed
  // The token's texts without their blank padding, NUL-terminated; a field
  // filled to its full width keeps every character.
  char label[sizeof(CK_TOKEN_INFO::label) + 1];
  char manufacturer_id[sizeof(CK_TOKEN_INFO::manufacturerID) + 1];
  char model[sizeof(CK_TOKEN_INFO::model) + 1];
  char serial[sizeof(CK_TOKEN_INFO::serialNumber) + 1];
  CK_SESSION_HANDLE session;  // 0: none; shared by every provider of the module
  int logged_in;              // 1 after a successful C_Login when the session opened
};
static_assert(std::is_standard_layout_v<pkcs11_slot>);

// One loaded library, shared by all providers with the same module path.
struct pkcs11_module {
  char *module_path;                // set at the end of a successful initialisation
  void *handle;                     // dlopen handle
  CK_FUNCTION_LIST *function_list;  // null after finalisation
  CK_INFO info;                     // as the module gave it
  char manufacturer_id[sizeof(CK_INFO::manufacturerID) + 1];          // trimmed
  char library_description[sizeof(CK_INFO::libraryDescription) + 1];  // trimmed
  CK_ULONG nslots;
  CK_SLOT_ID *slotlist;   // nslots entries
  pkcs11_slot *slotinfo;  // nslots entries, same index as slotlist
  int valid;
  int refcount;
};
static_assert(std::is_standard_layout_v<pkcs11_module>);

// One registered name (path or URI) of a module.
struct pkcs11_provider {
  char *name;             // identity: pkcs11_uri_get of the name's URI record
  pkcs11_module *module;  // null after pkcs11_provider_finalize
  int refcount;           // the list's reference plus one per bound key
  int valid;              // 0 after pkcs11_provider_finalize
  TAILQ_ENTRY(pkcs11_provider) next;
};
static_assert(std::is_standard_layout_v<pkcs11_provider>);

TAILQ_HEAD(pkcs11_provider_head, pkcs11_provider);

// Attached as ex_data to every token-backed RSA and EC_KEY; owned by it.
struct pkcs11_key {
  pkcs11_provider *provider;  // counted reference
  CK_ULONG slot_index;
  unsigned char *cka_id;  // null when the identifier is empty
  int cka_id_len;
  char *cka_label;  // NUL-terminated; null when the label is empty
};
static_assert(std::is_standard_layout_v<pkcs11_key>);

// Registered providers, in registration order.
extern pkcs11_provider_head provider_list;
// 0 in vardek: the layer never asks anyone for a PIN.
extern int pkcs11_interactive;

// Largest attribute value the layer reads from a token. Lengths above it (and
// CK_UNAVAILABLE_INFORMATION) are refused instead of allocated.
inline constexpr CK_ULONG PKCS11_MAX_ATTRIBUTE_LEN = CK_ULONG{1024} * 1024;
// Largest slot count accepted from C_GetSlotList.
inline constexpr CK_ULONG PKCS11_MAX_SLOTS = 4096;
// Longest public-key label listed. A longer one hides only its own object.
inline constexpr CK_ULONG PKCS11_MAX_LABEL_LEN = 4096;
// Objects examined per search: a module whose C_FindObjects never reports
// the end must not hold the process for ever. The rest count as absent.
inline constexpr CK_ULONG PKCS11_MAX_OBJECTS = 16384;

// Registry (ssh-pkcs11-provider.cpp).
[[nodiscard]] int pkcs11_add_provider_by_uri(pkcs11_uri *uri, const char *pin, sshkey ***keysp,
                                             char ***labelsp);
[[nodiscard]] int pkcs11_register_provider_by_uri(pkcs11_uri *uri, const char *pin, sshkey ***keysp,
                                                  char ***labelsp, pkcs11_provider **providerp,
                                                  CK_ULONG user);
pkcs11_module *pkcs11_provider_lookup_module(const char *module_path);
[[nodiscard]] int pkcs11_del_provider_by_uri(pkcs11_uri *uri);
pkcs11_provider *pkcs11_provider_lookup(const char *provider_id);
void pkcs11_provider_finalize(pkcs11_provider *p);
void pkcs11_provider_unref(pkcs11_provider *p);

// Module life (ssh-pkcs11-module.cpp).
// Loads and initialises the module at `module_path` for `p`. 0: p holds a
// new valid module (p is still the caller's to list). -1/-3: nothing stays
// loaded and p is unchanged.
[[nodiscard]] int pkcs11_initialize_provider(pkcs11_uri *uri, const char *module_path,
                                             pkcs11_provider *p);
// Returns the references left; at 0 the module is finalised and freed.
int pkcs11_module_unref(pkcs11_module *m);
void pkcs11_module_finalize(pkcs11_module *m);
// Releases the record and what it owns; the library stays as it is.
void pkcs11_module_free(pkcs11_module *m);
// Copies the blank-padded fixed-width text field of `n` bytes to `out`
// (n + 1 bytes) as a NUL-terminated text without its trailing blanks.
void trim_field(char *out, const unsigned char *field, size_t n);

// Slot pass and sessions (ssh-pkcs11-slot.cpp).
void pkcs11_register_slots(pkcs11_uri *uri, const char *pin, pkcs11_provider *p, sshkey ***keysp,
                           char ***labelsp, int *nkeys, CK_ULONG user);
void pkcs11_open_session(pkcs11_provider *p, CK_ULONG slotidx, const char *pin, CK_ULONG user);

// Login refusals (ssh-pkcs11-login.cpp). 0 when logged in, else -1.
[[nodiscard]] int pkcs11_login_slot(pkcs11_provider *provider, pkcs11_slot *si, CK_USER_TYPE type);
[[nodiscard]] int pkcs11_login(pkcs11_key *k11, CK_USER_TYPE type);

// Key discovery (ssh-pkcs11-fetch.cpp, ssh-pkcs11-fetch-pubkey.cpp).
void pkcs11_fetch_keys(pkcs11_provider *p, CK_ULONG slotidx, sshkey ***keysp, char ***labelsp,
                       int *nkeys, const pkcs11_uri *uri);
void pkcs11_fetch_certs(pkcs11_provider *p, CK_ULONG slotidx, sshkey ***keysp, char ***labelsp,
                        int *nkeys, const pkcs11_uri *uri);
sshkey *pkcs11_fetch_rsa_pubkey(pkcs11_provider *p, CK_ULONG slotidx, CK_OBJECT_HANDLE obj);
sshkey *pkcs11_fetch_ecdsa_pubkey(pkcs11_provider *p, CK_ULONG slotidx, CK_OBJECT_HANDLE obj);
// Also yields the certificate's subject as a malloc'd label (even when no key
// results); the caller frees it.
sshkey *pkcs11_fetch_x509_pubkey(pkcs11_provider *p, CK_ULONG slotidx, CK_OBJECT_HANDLE obj,
                                 char **subjectp);
void note_key(pkcs11_provider *p, CK_ULONG slotidx, const char *context, const sshkey *key);
// Appends `key` with a copy of `label` to the growing arrays, or frees it
// when an equal key is already listed; messages carry `context`.
void pkcs11_accept_key(pkcs11_provider *p, CK_ULONG slotidx, const char *context, sshkey *key,
                       const char *label, sshkey ***keysp, char ***labelsp, int *nkeys);
// C_FindObjectsInit; when the session still has a search active (its
// C_FindObjectsFinal failed), ends that one and starts again once.
[[nodiscard]] CK_RV pkcs11_find_objects_init(CK_FUNCTION_LIST *f, CK_SESSION_HANDLE session,
                                             CK_ATTRIBUTE *attr, CK_ULONG nattr);
// Finds the first object the token returns for the template `attr`: 0 with
// its handle in *obj, or -1 when none matches or the search fails.
[[nodiscard]] int pkcs11_find(pkcs11_provider *p, CK_ULONG slotidx, CK_ATTRIBUTE *attr,
                              CK_ULONG nattr, CK_OBJECT_HANDLE *obj);

// Token-backed signing (ssh-pkcs11-rsa.cpp, ssh-pkcs11-ecdsa.cpp,
// ssh-pkcs11-key.cpp). The wraps return 0, or -1 when the one-time method
// set-up fails.
[[nodiscard]] int pkcs11_rsa_wrap(pkcs11_provider *provider, CK_ULONG slotidx,
                                  const CK_ATTRIBUTE *keyid_attrib,
                                  const CK_ATTRIBUTE *label_attrib, RSA *rsa);
[[nodiscard]] int pkcs11_ecdsa_wrap(pkcs11_provider *provider, CK_ULONG slotidx,
                                    const CK_ATTRIBUTE *keyid_attrib,
                                    const CK_ATTRIBUTE *label_attrib, EC_KEY *ec);
// True while the key's provider and module are loaded and its slot exists.
bool pkcs11_key_provider_usable(const pkcs11_key *k11);
// A new pkcs11_key holding a reference to `provider` (used by both wraps).
pkcs11_key *pkcs11_key_new(pkcs11_provider *provider, CK_ULONG slotidx,
                           const CK_ATTRIBUTE *keyid_attrib, const CK_ATTRIBUTE *label_attrib);
// 0 when a signing operation with `mech_type` is initialised on the slot's
// session (the caller must C_Sign next), else -1.
[[nodiscard]] int pkcs11_get_key(pkcs11_key *k11, CK_MECHANISM_TYPE mech_type);
// C_Sign of `data` in the session where pkcs11_get_key prepared the
// operation; *siglen offers the buffer's size and receives the length. A
// failure is logged ("C_Sign failed: %lu"), and an operation it leaves
// active is ended.
[[nodiscard]] CK_RV pkcs11_sign_prepared(pkcs11_key *k11, const unsigned char *data, CK_ULONG len,
                                         unsigned char *sig, CK_ULONG *siglen);
// Ends a signing operation that no signature will finish (PKCS#11 has no
// call to cancel one): C_SignInit followed by failure, or a C_Sign that
// answered CKR_BUFFER_TOO_SMALL, which leaves the operation active.
void pkcs11_end_sign_operation(CK_FUNCTION_LIST *f, CK_SESSION_HANDLE session);
// Reads one CK_BBOOL attribute; *val stays false on any failure.
void pkcs11_check_obj_bool_attrib(pkcs11_key *k11, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_TYPE type,
                                  int *val);
// The record bound to a token-backed key object, or null.
pkcs11_key *pkcs11_rsa_key_of(const RSA *rsa);
pkcs11_key *pkcs11_ecdsa_key_of(const EC_KEY *ec);
// ex_data free callback of both key kinds.
void pkcs11_k11_free(void *parent, void *ptr, CRYPTO_EX_DATA *ad, int idx, long argl,
                     void *argp) noexcept;
// Logs `msg` and then every queued libcrypto error.
void ossl_error(const char *msg);

#endif
