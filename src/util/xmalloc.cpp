// Checked allocation: exhaustion ends the process instead of failing.
#include "util/xmalloc.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "log/log.h"
#include "util/recallocarray.h"

void *xmalloc(size_t size) {
  if (size == 0) log_fatal("xmalloc: zero size");
  void *ptr = malloc(size);
  if (ptr == nullptr) log_fatal("xmalloc: out of memory (allocating %zu bytes)", size);
  return ptr;
}

void *xcalloc(size_t nmemb, size_t size) {
  if (nmemb == 0 || size == 0) log_fatal("xcalloc: zero size");
  if (SIZE_MAX / nmemb < size) log_fatal("xcalloc: nmemb * size > SIZE_MAX");
  void *ptr = calloc(nmemb, size);
  if (ptr == nullptr) log_fatal("xcalloc: out of memory (allocating %zu bytes)", nmemb * size);
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
    log_fatal("xrecallocarray: out of memory (%zu elements of %zu bytes)", nmemb, size);
  return new_ptr;
}
