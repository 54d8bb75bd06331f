// Fuzz target for key discovery over a hostile token. The input describes
// the token's objects and how each attribute is answered (layout in
// module/fuzz_p11.h); bit 4 of its first byte adds the provider as a URI
// with object=fuzz (so the search carries a label and is retried without
// it), bit 5 frees the keys after the provider is removed instead of before.
// Properties: the add yields 0..(objects) keys, all distinct RSA or ECDSA
// token keys with a label, each encoding to a blob that decodes to an equal
// key (except ECDSA keys on a named curve SSH has no name for); the searches are finished; removing
// the provider finalises the module; nothing leaks.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "buffer/sshbuf.h"
#include "fuzz_module.h"
#include "key/sshkey.h"
#include "log/log.h"
#include "pkcs11/ssh-pkcs11.h"

namespace {

using vardek::fuzz::check;

// True when the key can be offered to an agent: its blob decodes again to
// an equal key. Keys that cannot (a curve without an SSH name, an RSA modulus
// below the minimum) are accepted by discovery and dropped by the add
// handler; a provider must have at least one key that can.
bool check_key(const sshkey *k) {
  check(k != nullptr, "null key");
  check(k->type == KEY_TYPE_RSA || k->type == KEY_TYPE_ECDSA, "key type");
  check((k->flags & KEY_FLAG_ON_TOKEN) != 0, "key not marked as on the token");
  unsigned char *blob = nullptr;
  size_t len = 0;
  if (sshkey_to_offerable_blob(k, &blob, &len) != 0) {
    check(blob == nullptr && len == 0, "refused blob handed out");
    return false;
  }
  sshbuf *b = sshbuf_from(blob, len);
  check(b != nullptr, "sshbuf_from");
  sshkey *back = nullptr;
  check(sshkey_from_blob_internal(b, &back, 0) == 0, "blob does not decode");
  check(sshkey_equal(k, back) == 1, "decoded key differs");
  sshkey_free(back);
  sshbuf_free(b);
  free(blob);
  return true;
}

void free_keys(sshkey **keys, char **labels, int n) {
  for (int i = 0; i < n; i++) {
    sshkey_free(keys[i]);
    free(labels[i]);
  }
  free(keys);
  free(labels);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const vardek::fuzz::Module &m = []() -> const vardek::fuzz::Module & {
    log_init_handler("pkcs11_fetch_fuzz", SSHLOG_QUIET, 1);
    pkcs11_init(0);
    return vardek::fuzz::module();
  }();
  static const std::string by_path = m.path;
  static const std::string by_uri = std::string("pkcs11:object=fuzz?module-path=") + m.path;

  m.set_objects(data, size);
  const uint8_t bits = size > 0 ? data[0] : 0;
  const std::string &provider = (bits & 16) != 0 ? by_uri : by_path;
  const bool free_late = (bits & 32) != 0;

  sshkey **keys = nullptr;
  char **labels = nullptr;
  const int n = pkcs11_add_provider(provider.c_str(), "1234", &keys, &labels);
  check(n >= 0, "add failed with a loadable module");
  check(static_cast<size_t>(n) <= m.object_count(), "more keys than objects");
  check((n == 0) == (keys == nullptr) && (n == 0) == (labels == nullptr), "arrays vs count");
  int offerable = 0;
  for (int i = 0; i < n; i++) {
    if (check_key(keys[i])) offerable++;
    check(labels[i] != nullptr, "null label");
    for (int j = 0; j < i; j++) check(!sshkey_equal(keys[i], keys[j]), "duplicate key");
  }
  check(n == 0 || offerable > 0, "a provider without a key to offer");

  vardek_fuzz_p11_state st{};
  m.get_state(&st);
  check(!st.find_active, "search left active");
  check(n == 0 ? !st.initialized : st.initialized != 0, "module state after add");

  if (!free_late) free_keys(keys, labels, n);
  check(pkcs11_del_provider(provider.c_str()) == (n > 0 ? 0 : -1), "remove result");
  if (free_late) free_keys(keys, labels, n);

  m.get_state(&st);
  check(!st.initialized, "module not finalised after remove");
  return 0;
}
