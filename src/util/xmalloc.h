// Checked allocation: these never return null; exhaustion ends the process
// through sshfatal with status 255.
#ifndef VARDEK_UTIL_XMALLOC_H
#define VARDEK_UTIL_XMALLOC_H

#include <cstddef>

void *xmalloc(size_t size);
void *xcalloc(size_t nmemb, size_t size);
char *xstrdup(const char *str);
void *xrecallocarray(void *ptr, size_t onmemb, size_t nmemb, size_t size);

#endif
