#include "client/secret.h"

#include <string.h>

namespace vardek::client {

bool Secret::assign(const char *p, size_t n) {
  wipe();
  if (n > capacity) return false;
  memcpy(buf_, p, n);
  len_ = n;
  return true;
}

void Secret::wipe() {
  explicit_bzero(buf_, sizeof buf_);
  len_ = 0;
}

}  // namespace vardek::client
