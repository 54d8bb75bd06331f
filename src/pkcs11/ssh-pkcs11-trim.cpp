// Fixed-width, blank-padded PKCS#11 text fields made into C texts.
#include <cstring>

#include "pkcs11/ssh-pkcs11-internal.h"

void trim_field(char *out, const unsigned char *field, size_t n) {
  memcpy(out, field, n);
  out[n] = '\0';
  // Trailing blanks go, down to byte 1: byte 0 stays, so that an all-blank
  // field reads as one blank.
  for (size_t i = n; i-- > 1 && out[i] == ' ';) out[i] = '\0';
}
