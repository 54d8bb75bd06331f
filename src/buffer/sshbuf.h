// sshbuf: growable byte queue with a read offset, read-only views and child
// views, plus the big-endian SSH wire codec. Every function checks the
// buffer's invariants first and raises SIGSEGV when one is broken.
#ifndef VARDEK_BUFFER_SSHBUF_H
#define VARDEK_BUFFER_SSHBUF_H

#include <openssl/bn.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#define SSHBUF_SIZE_MAX 0x8000000UL    // largest storage span of a buffer
#define SSHBUF_SIZE_INIT 256           // first allocation and growth step
#define SSHBUF_PACK_MIN 8192           // least consumed prefix worth compacting
#define SSHBUF_REFS_MAX 0x100000       // largest reference count
#define SSHBUF_MAX_BIGNUM (16384 / 8)  // largest mpint magnitude written, bytes

struct sshbuf {
  unsigned char *data;         // writable storage; null for read-only buffers
  const unsigned char *cdata;  // readable storage
  uint64_t off;                // first unread byte
  uint64_t size;               // one past the last stored byte
  uint64_t max_size;           // most bytes the storage may span
  uint64_t alloc;              // bytes allocated for data
  int32_t readonly;            // nonzero for views
  uint32_t refcount;           // owner + one per live child view
  sshbuf *parent;              // the buffer a child view points into
};
static_assert(std::is_standard_layout_v<sshbuf>);

// Returns a new empty writable buffer, or null. Caller frees with sshbuf_free.
sshbuf *sshbuf_new(void);
// Returns a read-only view of `len` bytes at `blob` (not copied; must outlive
// the view), or null when blob is null or len > SSHBUF_SIZE_MAX.
sshbuf *sshbuf_from(const void *blob, size_t len);
// Takes the next string from `buf` and returns a child view of its bytes in
// *bufp; `buf` stays alive (and read-only) until the view is freed.
[[nodiscard]] int sshbuf_froms(sshbuf *buf, sshbuf **bufp);
// Drops one reference; wipes and releases storage with the last. Null is fine.
void sshbuf_free(sshbuf *buf);
void sshbuf_reset(sshbuf *buf);

size_t sshbuf_len(const sshbuf *buf);
const unsigned char *sshbuf_ptr(const sshbuf *buf);
[[nodiscard]] int sshbuf_check_reserve(const sshbuf *buf, size_t len);
// Appends `len` uninitialised bytes; *dpp points at them on success.
[[nodiscard]] int sshbuf_reserve(sshbuf *buf, size_t len, unsigned char **dpp);
[[nodiscard]] int sshbuf_put(sshbuf *buf, const void *v, size_t len);
[[nodiscard]] int sshbuf_putb(sshbuf *buf, const sshbuf *v);
[[nodiscard]] int sshbuf_consume(sshbuf *buf, size_t len);

// Codec: readers consume from the front, writers append at the end.
[[nodiscard]] int sshbuf_get_u8(sshbuf *buf, uint8_t *valp);
[[nodiscard]] int sshbuf_get_u32(sshbuf *buf, uint32_t *valp);  // valp may be null
[[nodiscard]] int sshbuf_get_u64(sshbuf *buf, uint64_t *valp);
[[nodiscard]] int sshbuf_peek_string_direct(const sshbuf *buf, const unsigned char **valp,
                                            size_t *lenp);
[[nodiscard]] int sshbuf_get_string_direct(sshbuf *buf, const unsigned char **valp, size_t *lenp);
// *valp receives a malloc'd copy with a NUL appended; caller frees.
[[nodiscard]] int sshbuf_get_string(sshbuf *buf, unsigned char **valp, size_t *lenp);
// *valp receives a malloc'd NUL-free text; caller frees. lenp may be null.
[[nodiscard]] int sshbuf_get_cstring(sshbuf *buf, char **valp, size_t *lenp);
[[nodiscard]] int sshbuf_get_stringb(sshbuf *buf, sshbuf *v);
// *valp receives a new BIGNUM; caller frees with BN_clear_free.
[[nodiscard]] int sshbuf_get_bignum2(sshbuf *buf, BIGNUM **valp);

[[nodiscard]] int sshbuf_put_u8(sshbuf *buf, uint8_t val);
[[nodiscard]] int sshbuf_put_u32(sshbuf *buf, uint32_t val);
[[nodiscard]] int sshbuf_put_u64(sshbuf *buf, uint64_t val);
[[nodiscard]] int sshbuf_put_string(sshbuf *buf, const void *v, size_t len);
[[nodiscard]] int sshbuf_put_cstring(sshbuf *buf, const char *v);
[[nodiscard]] int sshbuf_put_stringb(sshbuf *buf, const sshbuf *v);
[[nodiscard]] int sshbuf_put_bignum2(sshbuf *buf, const BIGNUM *v);

#endif
