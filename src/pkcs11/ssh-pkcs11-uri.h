// pkcs11: URIs (RFC 7512): parsing into a record and formatting back into the
// canonical text that identifies a provider.
#ifndef VARDEK_PKCS11_SSH_PKCS11_URI_H
#define VARDEK_PKCS11_SSH_PKCS11_URI_H

#include <cstddef>
#include <type_traits>

#include "buffer/sshbuf.h"

struct pkcs11_uri {
  unsigned char *id;  // NUL-terminated copy
  size_t id_length;
  char *token_label;
  char *object_label;
  char *library_manufacturer;
  char *manufacturer;
  char *module_path;
  char *pin_value;  // secret: wiped by pkcs11_uri_cleanup
};
static_assert(std::is_standard_layout_v<pkcs11_uri>);

// Returns a zero-filled record (calloc), or null.
pkcs11_uri *pkcs11_uri_init(void);
// Fills `pkcs11` from `uri`; 0 on success, -1 on failure (fields set so far
// stay in the record).
[[nodiscard]] int pkcs11_uri_parse(const char *uri, pkcs11_uri *pkcs11);
// Returns the canonical URI text (malloc'd; caller frees), or null.
char *pkcs11_uri_get(const pkcs11_uri *pkcs11);
// Releases the record and its fields, wiping the PIN. Null is fine.
void pkcs11_uri_cleanup(pkcs11_uri *pkcs11);

// Decodes %XX escapes into a malloc'd NUL-terminated buffer; returns the
// decoded length or -1 (nothing allocated).
int percent_decode(const char *data, char **outp);
// Returns a buffer holding the encoded text and a NUL, or null.
sshbuf *percent_encode(const char *data, size_t length, const char *allow_list);

#endif
