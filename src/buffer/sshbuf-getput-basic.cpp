// sshbuf codec for integers and strings: big-endian SSH wire encodings read
// from the front and appended at the end.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "buffer/sshbuf-private.h"
#include "buffer/sshbuf.h"
#include "log/ssherr.h"

using vardek::sshbuf_append;
using vardek::sshbuf_peek_u32;
using vardek::sshbuf_poke_u32;
using vardek::sshbuf_require_sane;
using vardek::sshbuf_take;

namespace {

// Returns a malloc'd copy of `len` bytes at `p` with a NUL appended, or null.
char *sshbuf_dup_nul(const unsigned char *p, size_t len) {
  auto *copy = static_cast<char *>(std::malloc(len + 1));
  if (copy == nullptr) return nullptr;
  if (len > 0) std::memcpy(copy, p, len);
  copy[len] = '\0';
  return copy;
}

}  // namespace

int sshbuf_get_u8(sshbuf *buf, uint8_t *valp) {
  if (valp != nullptr) *valp = 0;
  const unsigned char *p;
  if (int r = sshbuf_take(buf, 1, &p); r != 0) return r;
  if (valp != nullptr) *valp = p[0];
  return 0;
}

int sshbuf_get_u32(sshbuf *buf, uint32_t *valp) {
  if (valp != nullptr) *valp = 0;
  const unsigned char *p;
  if (int r = sshbuf_take(buf, 4, &p); r != 0) return r;
  if (valp != nullptr) *valp = sshbuf_peek_u32(p);
  return 0;
}

int sshbuf_get_u64(sshbuf *buf, uint64_t *valp) {
  if (valp != nullptr) *valp = 0;
  const unsigned char *p;
  if (int r = sshbuf_take(buf, 8, &p); r != 0) return r;
  if (valp != nullptr) {
    *valp = static_cast<uint64_t>(sshbuf_peek_u32(p)) << 32 | sshbuf_peek_u32(p + 4);
  }
  return 0;
}

int sshbuf_peek_string_direct(const sshbuf *buf, const unsigned char **valp, size_t *lenp) {
  if (valp != nullptr) *valp = nullptr;
  if (lenp != nullptr) *lenp = 0;
  const size_t avail = sshbuf_len(buf);
  if (avail < 4) return SSH_ERR_INCOMPLETE_MESSAGE;
  const unsigned char *p = sshbuf_ptr(buf);
  const uint32_t len = sshbuf_peek_u32(p);
  if (len > SSHBUF_STRING_MAX) return SSH_ERR_STRING_TOO_LARGE;
  if (avail - 4 < len) return SSH_ERR_INCOMPLETE_MESSAGE;
  if (valp != nullptr) *valp = p + 4;
  if (lenp != nullptr) *lenp = len;
  return 0;
}

int sshbuf_get_string_direct(sshbuf *buf, const unsigned char **valp, size_t *lenp) {
  if (valp != nullptr) *valp = nullptr;
  if (lenp != nullptr) *lenp = 0;
  const unsigned char *p;
  size_t len;
  if (int r = sshbuf_peek_string_direct(buf, &p, &len); r != 0) return r;
  if (sshbuf_take(buf, 4 + len, nullptr) != 0) return SSH_ERR_UNEXPECTED_INTERNAL;
  if (valp != nullptr) *valp = p;
  if (lenp != nullptr) *lenp = len;
  return 0;
}

int sshbuf_get_string(sshbuf *buf, unsigned char **valp, size_t *lenp) {
  if (valp != nullptr) *valp = nullptr;
  if (lenp != nullptr) *lenp = 0;
  const unsigned char *p;
  size_t len;
  if (int r = sshbuf_get_string_direct(buf, &p, &len); r != 0) return r;
  if (valp != nullptr) {
    char *copy = sshbuf_dup_nul(p, len);
    if (copy == nullptr) return SSH_ERR_ALLOCATION_FAILED;
    *valp = reinterpret_cast<unsigned char *>(copy);
  }
  if (lenp != nullptr) *lenp = len;
  return 0;
}

int sshbuf_get_cstring(sshbuf *buf, char **valp, size_t *lenp) {
  if (valp != nullptr) *valp = nullptr;
  if (lenp != nullptr) *lenp = 0;
  const unsigned char *p;
  size_t len;
  if (int r = sshbuf_peek_string_direct(buf, &p, &len); r != 0) return r;
  // A NUL is allowed only as the very last byte.
  if (len > 0 && std::memchr(p, '\0', len - 1) != nullptr) return SSH_ERR_INVALID_FORMAT;
  if (sshbuf_take(buf, 4 + len, nullptr) != 0) return SSH_ERR_UNEXPECTED_INTERNAL;
  if (valp != nullptr) {
    char *copy = sshbuf_dup_nul(p, len);
    if (copy == nullptr) return SSH_ERR_ALLOCATION_FAILED;
    *valp = copy;
  }
  if (lenp != nullptr) *lenp = len;
  return 0;
}

int sshbuf_get_stringb(sshbuf *buf, sshbuf *v) {
  const unsigned char *p;
  size_t len;
  if (int r = sshbuf_peek_string_direct(buf, &p, &len); r != 0) return r;
  // The destination is filled before the source moves, so a destination
  // that cannot take the bytes leaves the source whole and still framed.
  // `v` may be `buf` itself; sshbuf_append finds the bytes after it grows.
  if (int r = sshbuf_append(v, 0, nullptr, p, len); r != 0) return r;
  if (sshbuf_take(buf, 4 + len, nullptr) != 0) return SSH_ERR_UNEXPECTED_INTERNAL;
  return 0;
}

int sshbuf_put_u8(sshbuf *buf, uint8_t val) {
  unsigned char *p;
  if (int r = sshbuf_reserve(buf, 1, &p); r != 0) return r;
  p[0] = val;
  return 0;
}

int sshbuf_put_u32(sshbuf *buf, uint32_t val) {
  unsigned char *p;
  if (int r = sshbuf_reserve(buf, 4, &p); r != 0) return r;
  sshbuf_poke_u32(p, val);
  return 0;
}

int sshbuf_put_u64(sshbuf *buf, uint64_t val) {
  unsigned char *p;
  if (int r = sshbuf_reserve(buf, 8, &p); r != 0) return r;
  sshbuf_poke_u32(p, static_cast<uint32_t>(val >> 32));
  sshbuf_poke_u32(p + 4, static_cast<uint32_t>(val));
  return 0;
}

int sshbuf_put_string(sshbuf *buf, const void *v, size_t len) {
  sshbuf_require_sane(buf);
  if (len > SSHBUF_STRING_MAX) return SSH_ERR_INSUFFICIENT_SPACE;
  unsigned char *p;
  if (int r = sshbuf_append(buf, 4, &p, v, len); r != 0) return r;
  sshbuf_poke_u32(p, static_cast<uint32_t>(len));
  return 0;
}

int sshbuf_put_cstring(sshbuf *buf, const char *v) {
  return sshbuf_put_string(buf, v, v == nullptr ? 0 : std::strlen(v));
}

int sshbuf_put_stringb(sshbuf *buf, const sshbuf *v) {
  if (v == nullptr) return sshbuf_put_string(buf, nullptr, 0);
  return sshbuf_put_string(buf, sshbuf_ptr(v), sshbuf_len(v));
}
