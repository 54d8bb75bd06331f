// Fuzz target for pkcs11: URI parsing and formatting. Property: a text that
// parses formats to a URI that parses back to the same record (the fields
// the formatter writes), and formatting that record again gives the same text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "log/log.h"
#include "pkcs11/ssh-pkcs11-uri.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

bool same_text(const char *a, const char *b) {
  if (a == nullptr || b == nullptr) return a == b;
  return std::strcmp(a, b) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool quiet = [] {
    log_init_handler("pkcs11_uri_fuzz", SSHLOG_QUIET, 1);
    return true;
  }();
  (void)quiet;
  // The parser takes a C string: the input up to its first NUL.
  std::string text(reinterpret_cast<const char *>(data), size);
  text.resize(std::strlen(text.c_str()));

  pkcs11_uri *first = pkcs11_uri_init();
  check(first != nullptr);
  if (pkcs11_uri_parse(text.c_str(), first) != 0) {
    pkcs11_uri_cleanup(first);
    return 0;
  }
  char *formatted = pkcs11_uri_get(first);
  check(formatted != nullptr);
  check(std::strncmp(formatted, "pkcs11:", 7) == 0);

  pkcs11_uri *second = pkcs11_uri_init();
  check(second != nullptr);
  check(pkcs11_uri_parse(formatted, second) == 0);
  check(second->id_length == first->id_length);
  check(first->id_length == 0 || std::memcmp(first->id, second->id, first->id_length) == 0);
  check(same_text(first->token_label, second->token_label));
  check(same_text(first->object_label, second->object_label));
  check(same_text(first->manufacturer, second->manufacturer));
  check(same_text(first->module_path, second->module_path));
  check(second->library_manufacturer == nullptr && second->pin_value == nullptr);

  char *again = pkcs11_uri_get(second);
  check(again != nullptr && std::strcmp(again, formatted) == 0);

  std::free(again);
  std::free(formatted);
  pkcs11_uri_cleanup(second);
  pkcs11_uri_cleanup(first);
  return 0;
}
