// Wiping secrets before their memory goes back: one byte holder, one text
// release and one scope guard. Key material, PINs and anything derived from
// them leave vardek's hands through one of these.
#ifndef VARDEK_UTIL_WIPE_H
#define VARDEK_UTIL_WIPE_H

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>  // explicit_bzero
#include <span>
#include <type_traits>
#include <utility>

namespace vardek {

// How a heap holder gives its bytes back: wiped, then released.
struct malloc_release {  // from malloc
  static void release(unsigned char *p, std::size_t n) noexcept {
    explicit_bzero(p, n);
    std::free(p);
  }
};
struct openssl_release {  // from OPENSSL_malloc, e.g. the DER of i2d_*
  static void release(unsigned char *p, std::size_t n) noexcept { OPENSSL_clear_free(p, n); }
};

// Bytes that are wiped before they are released.
//   wiped_bytes<N>   N bytes held inline (a digest), zero at first
//   wiped_bytes<>    `len` heap bytes at `p`, released by `Release`
// `p` and `len` are plain members so that C-style out parameters can fill
// them, as in sshbuf_get_string(b, &bytes.p, &bytes.len).
template <std::size_t N = std::dynamic_extent, class Release = malloc_release>
struct wiped_bytes {
  static_assert(N > 0 && std::is_same_v<Release, malloc_release>,
                "inline bytes have a size and no allocator");
  static constexpr std::size_t len = N;
  unsigned char p[N] = {};
  wiped_bytes() = default;
  wiped_bytes(const wiped_bytes &) = delete;
  wiped_bytes &operator=(const wiped_bytes &) = delete;
  ~wiped_bytes() { explicit_bzero(p, N); }
};

template <class Release>
struct wiped_bytes<std::dynamic_extent, Release> {
  unsigned char *p = nullptr;
  std::size_t len = 0;
  wiped_bytes() = default;
  wiped_bytes(const wiped_bytes &) = delete;
  wiped_bytes &operator=(const wiped_bytes &) = delete;
  ~wiped_bytes() { reset(); }
  // Wipes and releases the bytes held; the holder is empty afterwards.
  void reset() noexcept {
    if (p != nullptr) Release::release(p, len);
    p = nullptr;
    len = 0;
  }
};

using openssl_wiped_bytes = wiped_bytes<std::dynamic_extent, openssl_release>;

// Wipes a malloc'd text, its terminating NUL included, and frees it. Null is
// fine. Only the text up to its first NUL is wiped: a buffer that was cut
// into pieces needs a wiped_bytes or a scope_exit over its whole size.
void clear_free_text(char *s) noexcept;

// Runs `fn` when the scope ends, on every way out of it.
//   unsigned char d[64];
//   vardek::scope_exit wipe_d([&] { explicit_bzero(d, sizeof d); });
template <class F>
class [[nodiscard]] scope_exit {
 public:
  explicit scope_exit(F fn) noexcept(std::is_nothrow_move_constructible_v<F>)
      : fn_(std::move(fn)) {}
  scope_exit(const scope_exit &) = delete;
  scope_exit &operator=(const scope_exit &) = delete;
  ~scope_exit() { fn_(); }

 private:
  F fn_;
};

}  // namespace vardek

#endif
