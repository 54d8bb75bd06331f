// Checked allocation: exhaustion ends the process instead of failing.
#include "util/xmalloc.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "log/log.h"
#include "util/recallocarray.h"

// The messages name their function themselves, so no function prefix.
#define XMALLOC_FATAL(...) sshfatal("xmalloc.c", __func__, __LINE__, 0, nullptr, __VA_ARGS__)

void *xmalloc(size_t size) {
  if (size == 0) XMALLOC_FATAL("xmalloc: zero size");
  void *ptr = malloc(size);
  if (ptr == nullptr) XMALLOC_FATAL("xmalloc: out of memory (allocating %zu bytes)", size);
  return ptr;
}

void *xcalloc(size_t nmemb, size_t size) {
  if (nmemb == 0 || size == 0) XMALLOC_FATAL("xcalloc: zero size");
  if (SIZE_MAX / nmemb < size) XMALLOC_FATAL("xcalloc: nmemb * size > SIZE_MAX");
  void *ptr = calloc(nmemb, size);
  if (ptr == nullptr)
    XMALLOC_FATAL("xcalloc: out of memory (allocating %zu bytes)", nmemb * size);
  return ptr;
}

char *xstrdup(const char *str) {
  size_t len = strlen(str) + 1;
  char *cp = static_cast<char *>(xmalloc(len));
  memcpy(cp, str, len);
  return cp;
}

void *xrecallocarray(void *ptr, size_t onmemb, size_t nmemb, size_t size) {
  void *new_ptr = recallocarray(ptr, onmemb, nmemb, size);
  if (new_ptr == nullptr)
    XMALLOC_FATAL("xrecallocarray: out of memory (%zu elements of %zu bytes)", nmemb, size);
  return new_ptr;
}
