#ifndef VARDEK_UTIL_RECALLOCARRAY_H
#define VARDEK_UTIL_RECALLOCARRAY_H

#include <cstddef>

// Resizes an array of `oldnmemb` to `newnmemb` elements of `size` bytes. New
// elements are zero; memory given up or moved away from is wiped. Returns
// null with errno set on failure, leaving `ptr` valid and unchanged.
void *recallocarray(void *ptr, size_t oldnmemb, size_t newnmemb, size_t size);

#endif
