// sshbuf core: the record, its invariants, views, growth and compaction.
#include "buffer/sshbuf.h"

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "buffer/sshbuf-private.h"
#include "buffer/sshbuf-ptr.h"
#include "log/ssherr.h"
#include "util/deleters.h"
#include "util/misc.h"
#include "util/recallocarray.h"

static_assert(sizeof(size_t) == sizeof(uint64_t), "sizes are compared with the 64-bit fields");
static_assert(SSHBUF_SIZE_MAX % SSHBUF_SIZE_INIT == 0, "rounded growth must not pass the limit");

namespace {

// A broken invariant means memory corruption or a caller bug; nothing can be
// trusted any more, so the process dies with SIGSEGV and leaves a core.
[[noreturn]] void sshbuf_die() noexcept {
  ssh_signal(SIGSEGV, SIG_DFL);
  // A blocked SIGSEGV would stay pending and let raise() return.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGSEGV);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  (void)raise(SIGSEGV);
  abort();
}

bool sshbuf_writable(const sshbuf *buf) { return buf->readonly == 0 && buf->refcount == 1; }

// Moves the unread bytes to the start of the storage when enough of the
// front has been consumed, or when an append of `len` would not fit after
// the used region otherwise. Nothing is cleared behind the moved bytes.
void sshbuf_maybe_pack(sshbuf *buf, size_t len) {
  if (buf->off == 0) return;
  const bool force = len > buf->max_size - buf->size;  // size + len > max_size
  if (force || (buf->off >= SSHBUF_PACK_MIN && buf->off >= buf->size / 2)) {
    std::memmove(buf->data, buf->data + buf->off, buf->size - buf->off);
    buf->size -= buf->off;
    buf->off = 0;
  }
}

// Links a fresh child view to the buffer whose storage it points into.
int sshbuf_set_parent(sshbuf *child, sshbuf *parent) {
  vardek::sshbuf_require_sane(child);
  vardek::sshbuf_require_sane(parent);
  if (child->parent != nullptr && child->parent != parent) return SSH_ERR_UNEXPECTED_INTERNAL;
  child->parent = parent;
  child->parent->refcount++;
  return 0;
}

// Releases one record whose last reference is gone; returns its parent,
// whose reference the record held.
sshbuf *sshbuf_release(sshbuf *buf) {
  sshbuf *parent = buf->parent;
  buf->parent = nullptr;
  if (buf->readonly == 0) {
    explicit_bzero(buf->data, buf->alloc);
    std::free(buf->data);
  }
  explicit_bzero(buf, sizeof(*buf));
  std::free(buf);
  return parent;
}

}  // namespace

namespace vardek {

void sshbuf_require_sane(const sshbuf *buf) {
  if (buf == nullptr ||                                                                 //
      (buf->readonly == 0 && buf->data != buf->cdata) ||                                //
      buf->refcount < 1 || buf->refcount > SSHBUF_REFS_MAX || buf->cdata == nullptr ||  //
      buf->max_size > SSHBUF_SIZE_MAX ||                                                //
      buf->alloc > buf->max_size ||                                                     //
      buf->size > buf->alloc ||                                                         //
      buf->off > buf->size) {
    sshbuf_die();
  }
}

int sshbuf_take(sshbuf *buf, size_t len, const unsigned char **dpp) {
  if (dpp != nullptr) *dpp = nullptr;
  sshbuf_require_sane(buf);
  if (len == 0) {
    if (dpp != nullptr) *dpp = buf->cdata + buf->off;
    return 0;
  }
  if (len > buf->size - buf->off) return SSH_ERR_INCOMPLETE_MESSAGE;
  const unsigned char *p = buf->cdata + buf->off;
  buf->off += len;
  // Emptied: the next append starts at the front again. The bytes stay in
  // place, so `p` remains readable until the buffer is written.
  if (buf->off == buf->size) buf->off = buf->size = 0;
  if (dpp != nullptr) *dpp = p;
  return 0;
}

int sshbuf_append(sshbuf *buf, size_t head, unsigned char **headp, const void *v, size_t len) {
  if (headp != nullptr) *headp = nullptr;
  sshbuf_require_sane(buf);
  // An impossible total still goes through sshbuf_reserve, so that a
  // read-only buffer reports itself before the size does.
  const size_t total = len > SIZE_MAX - head ? SIZE_MAX : head + len;

  // Growth may move the storage and compaction the unread bytes; a source
  // inside those bytes is found again by its place after the read offset.
  const unsigned char *src = static_cast<const unsigned char *>(v);
  bool inside = false;
  size_t rel = 0;
  if (len > 0) {
    const auto s = reinterpret_cast<uintptr_t>(src);
    const auto lo = reinterpret_cast<uintptr_t>(buf->cdata + buf->off);
    const auto hi = reinterpret_cast<uintptr_t>(buf->cdata + buf->size);
    if (s >= lo && s <= hi && len <= hi - s) {
      inside = true;
      rel = s - lo;
    }
  }

  unsigned char *p;
  if (int r = sshbuf_reserve(buf, total, &p); r != 0) return r;
  if (inside) src = buf->cdata + buf->off + rel;
  if (len > 0) std::memmove(p + head, src, len);
  if (headp != nullptr) *headp = p;
  return 0;
}

}  // namespace vardek

using vardek::sshbuf_require_sane;

sshbuf *sshbuf_new(void) {
  vardek::malloc_ptr<sshbuf> buf(static_cast<sshbuf *>(std::calloc(1, sizeof(sshbuf))));
  if (buf == nullptr) return nullptr;
  auto *d = static_cast<unsigned char *>(std::calloc(1, SSHBUF_SIZE_INIT));
  if (d == nullptr) return nullptr;
  buf->data = d;
  buf->cdata = d;
  buf->off = 0;
  buf->size = 0;
  buf->max_size = SSHBUF_SIZE_MAX;
  buf->alloc = SSHBUF_SIZE_INIT;
  buf->readonly = 0;
  buf->refcount = 1;
  buf->parent = nullptr;
  return buf.release();
}

sshbuf *sshbuf_from(const void *blob, size_t len) {
  if (blob == nullptr || len > SSHBUF_SIZE_MAX) return nullptr;
  auto *buf = static_cast<sshbuf *>(std::calloc(1, sizeof(sshbuf)));
  if (buf == nullptr) return nullptr;
  buf->data = nullptr;
  buf->cdata = static_cast<const unsigned char *>(blob);
  buf->off = 0;
  buf->size = len;
  buf->max_size = len;
  buf->alloc = len;
  buf->readonly = 1;
  buf->refcount = 1;
  buf->parent = nullptr;
  return buf;
}

int sshbuf_froms(sshbuf *buf, sshbuf **bufp) {
  if (buf == nullptr || bufp == nullptr) return SSH_ERR_INVALID_ARGUMENT;
  *bufp = nullptr;
  const unsigned char *p;
  size_t len;
  if (int r = sshbuf_peek_string_direct(buf, &p, &len); r != 0) return r;
  // One more child would push the count past its invariant and kill the
  // process at the next check; refuse before anything is consumed.
  if (buf->refcount >= SSHBUF_REFS_MAX) return SSH_ERR_UNEXPECTED_INTERNAL;
  vardek::unique_ptr<sshbuf> view(sshbuf_from(p, len));
  if (view == nullptr) return SSH_ERR_ALLOCATION_FAILED;
  if (int r = sshbuf_consume(buf, 4 + len); r != 0) return r;
  if (int r = sshbuf_set_parent(view.get(), buf); r != 0) return r;
  *bufp = view.release();
  return 0;
}

void sshbuf_free(sshbuf *buf) {
  // Walks up the chain of parents instead of recursing, so deeply nested
  // child views cannot exhaust the stack.
  while (buf != nullptr) {
    sshbuf_require_sane(buf);
    if (--buf->refcount > 0) return;
    buf = sshbuf_release(buf);
  }
}

void sshbuf_reset(sshbuf *buf) {
  sshbuf_require_sane(buf);
  if (!sshbuf_writable(buf)) {
    buf->off = buf->size;
    return;
  }
  buf->off = buf->size = 0;
  if (buf->alloc != SSHBUF_SIZE_INIT) {
    void *d = recallocarray(buf->data, buf->alloc, SSHBUF_SIZE_INIT, 1);
    if (d != nullptr) {
      buf->data = static_cast<unsigned char *>(d);
      buf->cdata = buf->data;
      buf->alloc = SSHBUF_SIZE_INIT;
    }
  }
  explicit_bzero(buf->data, buf->alloc);
}

size_t sshbuf_len(const sshbuf *buf) {
  sshbuf_require_sane(buf);
  return buf->size - buf->off;
}

const unsigned char *sshbuf_ptr(const sshbuf *buf) {
  sshbuf_require_sane(buf);
  return buf->cdata + buf->off;
}

int sshbuf_check_reserve(const sshbuf *buf, size_t len) {
  sshbuf_require_sane(buf);
  if (!sshbuf_writable(buf)) return SSH_ERR_BUFFER_READ_ONLY;
  // Only unread bytes count: the consumed front is reclaimed before growth.
  if (len > buf->max_size || buf->max_size - len < buf->size - buf->off) {
    return SSH_ERR_INSUFFICIENT_SPACE;
  }
  return 0;
}

int sshbuf_reserve(sshbuf *buf, size_t len, unsigned char **dpp) {
  if (dpp != nullptr) *dpp = nullptr;
  if (int r = sshbuf_check_reserve(buf, len); r != 0) return r;
  sshbuf_maybe_pack(buf, len);
  if (len > buf->alloc - buf->size) {
    // Linear growth in whole steps, or to the exact need near the limit.
    // After the checks above size + len <= max_size, so nothing overflows.
    const uint64_t need = buf->size + len;
    uint64_t rlen = (need + SSHBUF_SIZE_INIT - 1) & ~static_cast<uint64_t>(SSHBUF_SIZE_INIT - 1);
    if (rlen > buf->max_size) rlen = need;
    void *d = recallocarray(buf->data, buf->alloc, rlen, 1);
    if (d == nullptr) return SSH_ERR_ALLOCATION_FAILED;
    buf->data = static_cast<unsigned char *>(d);
    buf->cdata = buf->data;
    buf->alloc = rlen;
    if (int r = sshbuf_check_reserve(buf, len); r != 0) return r;
  }
  unsigned char *dp = buf->data + buf->size;
  buf->size += len;
  if (dpp != nullptr) *dpp = dp;
  return 0;
}

int sshbuf_put(sshbuf *buf, const void *v, size_t len) {
  return vardek::sshbuf_append(buf, 0, nullptr, v, len);
}

int sshbuf_putb(sshbuf *buf, const sshbuf *v) {
  sshbuf_require_sane(buf);
  if (v == nullptr) return 0;
  return sshbuf_put(buf, sshbuf_ptr(v), sshbuf_len(v));
}

int sshbuf_consume(sshbuf *buf, size_t len) { return vardek::sshbuf_take(buf, len, nullptr); }
