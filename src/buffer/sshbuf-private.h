// Private primitives shared by the sshbuf core and its codec. Not for use
// outside src/buffer: callers go through sshbuf.h.
#ifndef VARDEK_BUFFER_SSHBUF_PRIVATE_H
#define VARDEK_BUFFER_SSHBUF_PRIVATE_H

#include <cstddef>
#include <cstdint>

#include "buffer/sshbuf.h"

// Longest string payload: the buffer limit less the 4-byte length field.
#define SSHBUF_STRING_MAX (SSHBUF_SIZE_MAX - 4)

namespace vardek {

// Returns only when every invariant of `buf` holds; otherwise restores the
// default SIGSEGV action and raises SIGSEGV. A null `buf` counts as broken.
void sshbuf_require_sane(const sshbuf *buf);

// Takes `len` unread bytes from the front: *dpp (may be null) points at them
// and the read offset moves past them. Returns SSH_ERR_INCOMPLETE_MESSAGE,
// with nothing consumed, when fewer than `len` bytes are unread. The pointer
// stays valid until the buffer is next written, compacted or reset.
[[nodiscard]] int sshbuf_take(sshbuf *buf, size_t len, const unsigned char **dpp);

// Appends `head` bytes for the caller to fill (*headp points at them, may be
// null when head is 0) followed by a copy of `len` bytes from `v`. `v` may
// lie inside the unread bytes of `buf` itself: the copy is taken from where
// those bytes are after any compaction or growth. Errors are those of
// sshbuf_reserve; on error nothing is appended.
[[nodiscard]] int sshbuf_append(sshbuf *buf, size_t head, unsigned char **headp, const void *v,
                                size_t len);

inline uint32_t sshbuf_peek_u32(const unsigned char *p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

inline void sshbuf_poke_u32(unsigned char *p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

}  // namespace vardek

#endif
