// Helpers for the byte-buffer tests: owned buffers and their unread bytes.
#ifndef VARDEK_TESTS_BUFFER_SSHBUF_TEST_UTIL_H
#define VARDEK_TESTS_BUFFER_SSHBUF_TEST_UTIL_H

#include <gtest/gtest.h>

#include "buffer/sshbuf-ptr.h"
#include "buffer/sshbuf.h"
#include "common/bytes.h"

namespace vardek::test {

using buf_ptr = vardek::unique_ptr<sshbuf>;

// The unread bytes of `b`.
inline Bytes unread(const sshbuf *b) {
  const unsigned char *p = sshbuf_ptr(b);
  return Bytes(p, p + sshbuf_len(b));
}

// A new writable buffer holding `contents`.
inline buf_ptr buf_with(const Bytes &contents) {
  buf_ptr b(sshbuf_new());
  EXPECT_NE(b, nullptr);
  if (b != nullptr) {
    EXPECT_EQ(sshbuf_put(b.get(), contents.data(), contents.size()), 0);
  }
  return b;
}

// `n` bytes counting up from `first`, wrapping at 256.
inline Bytes pattern(size_t n, uint8_t first = 0) {
  Bytes out(n);
  for (size_t i = 0; i < n; i++) out[i] = static_cast<uint8_t>(first + i);
  return out;
}

}  // namespace vardek::test

#endif
