// The util test binary is linked with --wrap=free: every free() call from our
// own objects (the util library included) reaches __wrap_free first, defined
// in recallocarray_test.cpp, so a block can be inspected as it is released.
#ifndef VARDEK_TESTS_UTIL_FREE_WATCH_H
#define VARDEK_TESTS_UTIL_FREE_WATCH_H

#include <cstddef>
#include <cstdlib>
#include <cstring>

extern "C" void __real_free(void *ptr);
extern "C" void __wrap_free(void *ptr);

// The block being watched; __wrap_free counts its release and notes whether
// its first watched_size bytes were all zero by then.
inline const void *watched_block = nullptr;
inline size_t watched_size = 0;
inline int watched_frees = 0;
inline bool watched_was_zero = false;

inline void watch(const void *block, size_t size) {
  watched_block = block;
  watched_size = size;
  watched_frees = 0;
  watched_was_zero = false;
}

inline bool all_zero(const void *p, size_t n) {
  const auto *b = static_cast<const unsigned char *>(p);
  for (size_t i = 0; i < n; i++)
    if (b[i] != 0) return false;
  return true;
}

inline unsigned char *filled(size_t n, unsigned char v) {
  auto *p = static_cast<unsigned char *>(malloc(n));
  memset(p, v, n);
  return p;
}

#endif
