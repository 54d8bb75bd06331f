// The text release of util/wipe.h.
#include "util/wipe.h"

#include <cstring>

namespace vardek {

void clear_free_text(char *s) noexcept {
  if (s == nullptr) return;
  explicit_bzero(s, std::strlen(s) + 1);
  std::free(s);
}

}  // namespace vardek
