// Array resizing that never leaves old contents behind in released memory and
// always hands out zeroed new elements.
#include "util/recallocarray.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// True when a * b does not fit in size_t.
bool mul_overflows(size_t a, size_t b) { return a != 0 && SIZE_MAX / a < b; }

}  // namespace

void *recallocarray(void *ptr, size_t oldnmemb, size_t newnmemb, size_t size) {
  if (ptr == nullptr) return calloc(newnmemb, size);

  if (mul_overflows(newnmemb, size)) {
    errno = ENOMEM;
    return nullptr;
  }
  size_t newsize = newnmemb * size;

  if (mul_overflows(oldnmemb, size)) {
    errno = EINVAL;
    return nullptr;
  }
  size_t oldsize = oldnmemb * size;

  // A small shrink stays in place; only the given-up tail is cleared.
  if (newsize <= oldsize) {
    size_t given_up = oldsize - newsize;
    if (given_up < oldsize / 2 && given_up < static_cast<size_t>(getpagesize())) {
      memset(static_cast<char *>(ptr) + newsize, 0, given_up);
      return ptr;
    }
  }

  // No elements left is a valid result, as with calloc above: glibc's
  // malloc(0) hands out a pointer of its own that free() takes back.
  // NOLINTNEXTLINE(clang-analyzer-optin.portability.UnixAPI): malloc(0) is meant
  void *newptr = malloc(newsize);
  if (newptr == nullptr) return nullptr;

  if (newsize > oldsize) {
    memcpy(newptr, ptr, oldsize);
    memset(static_cast<char *>(newptr) + oldsize, 0, newsize - oldsize);
  } else {
    memcpy(newptr, ptr, newsize);
  }

  explicit_bzero(ptr, oldsize);
  free(ptr);
  return newptr;
}
