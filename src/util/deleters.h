// unique_ptr with a deleter per type, for OpenSSL objects and our own records
// inside function bodies.
#ifndef VARDEK_UTIL_DELETERS_H
#define VARDEK_UTIL_DELETERS_H

#include <cstdlib>
#include <memory>

namespace vardek {

template <class T>
struct deleter;

template <class T>
using unique_ptr = std::unique_ptr<T, deleter<T>>;

// malloc'd memory released with free().
struct free_deleter {
  void operator()(void *p) const noexcept { std::free(p); }
};
template <class T>
using malloc_ptr = std::unique_ptr<T, free_deleter>;

}  // namespace vardek

// Specialisations live next to the types:
//   template <> struct vardek::deleter<sshbuf> { ... };
// T names a type, which parentheses would not parse as.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define VARDEK_DELETER(T, fn)                       \
  template <>                                       \
  struct vardek::deleter<T> {                       \
    void operator()(T *p) const noexcept { fn(p); } \
  }
// NOLINTEND(bugprone-macro-parentheses)

#endif
