// Fuzz target for the byte buffer.
//
// The first input byte chooses a mode:
//  - even: the rest is a stream of (selector, value) pairs read with the codec
//    from a read-only view. Every successful read is written back with the
//    matching writer and must give the very bytes consumed (mpints: the same
//    number, and the same bytes when the input was minimal). Every failed
//    read must leave the view untouched.
//  - odd: the rest drives appends, reads, compaction and resets of a
//    writable queue that is checked against a plain vector after each step.
#include <openssl/bn.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "buffer/sshbuf-ptr.h"
#include "buffer/sshbuf.h"
#include "util/ossl_ptr.h"

namespace {

using buf_ptr = vardek::unique_ptr<sshbuf>;

// Largest queue the fuzzer grows, to keep each input fast.
constexpr size_t kQueueCap = 0x40000;

[[noreturn]] void fuzz_fail(const char *what) {
  std::fprintf(stderr, "sshbuf_fuzz: %s\n", what);
  std::abort();
}

void fuzz_check(bool ok, const char *what) {
  if (!ok) fuzz_fail(what);
}

bool fuzz_same(const sshbuf *b, const unsigned char *p, size_t n) {
  return sshbuf_len(b) == n && (n == 0 || std::memcmp(sshbuf_ptr(b), p, n) == 0);
}

// Reads one value of the kind chosen by `sel` from `in` and writes it back
// to `out`. Returns the reader's result.
int fuzz_read_one(uint8_t sel, sshbuf *in, sshbuf *out, bool *canonical) {
  *canonical = true;
  int r = 0;
  switch (sel % 9) {
    case 0: {
      uint8_t v;
      if ((r = sshbuf_get_u8(in, &v)) == 0) fuzz_check(sshbuf_put_u8(out, v) == 0, "put_u8");
      break;
    }
    case 1: {
      uint32_t v;
      if ((r = sshbuf_get_u32(in, &v)) == 0) fuzz_check(sshbuf_put_u32(out, v) == 0, "put_u32");
      break;
    }
    case 2: {
      uint64_t v;
      if ((r = sshbuf_get_u64(in, &v)) == 0) fuzz_check(sshbuf_put_u64(out, v) == 0, "put_u64");
      break;
    }
    case 3: {
      const unsigned char *p;
      size_t n;
      if ((r = sshbuf_get_string_direct(in, &p, &n)) == 0) {
        fuzz_check(sshbuf_put_string(out, p, n) == 0, "put_string direct");
      }
      break;
    }
    case 4: {
      unsigned char *p;
      size_t n;
      if ((r = sshbuf_get_string(in, &p, &n)) == 0) {
        fuzz_check(p[n] == '\0', "get_string terminator");
        fuzz_check(sshbuf_put_string(out, p, n) == 0, "put_string");
        std::free(p);
      }
      break;
    }
    case 5: {
      char *t;
      size_t n;
      if ((r = sshbuf_get_cstring(in, &t, &n)) == 0) {
        const size_t sl = std::strlen(t);
        fuzz_check(sl == n || sl + 1 == n, "cstring length");
        fuzz_check(sshbuf_put_string(out, t, n) == 0, "put_string text");
        std::free(t);
      }
      break;
    }
    case 6: {
      buf_ptr tmp(sshbuf_new());
      if ((r = sshbuf_get_stringb(in, tmp.get())) == 0) {
        fuzz_check(sshbuf_put_stringb(out, tmp.get()) == 0, "put_stringb");
      }
      break;
    }
    case 7: {
      sshbuf *child = nullptr;
      if ((r = sshbuf_froms(in, &child)) == 0) {
        buf_ptr c(child);
        fuzz_check(sshbuf_put_stringb(out, c.get()) == 0, "put_stringb child");
      }
      break;
    }
    case 8: {
      const unsigned char *p;
      size_t n;
      const bool framed = sshbuf_peek_string_direct(in, &p, &n) == 0;
      BIGNUM *raw = nullptr;
      if ((r = sshbuf_get_bignum2(in, &raw)) != 0) break;
      fuzz_check(framed, "bignum read without a string");
      vardek::unique_ptr<BIGNUM> v(raw);
      // Minimal: empty, or no leading zero except one in front of a set top bit.
      *canonical = n == 0 || (p[0] != 0) || (n > 1 && (p[1] & 0x80) != 0);
      fuzz_check(sshbuf_put_bignum2(out, v.get()) == 0, "put_bignum2");
      buf_ptr again(sshbuf_new());
      fuzz_check(sshbuf_put_bignum2(again.get(), v.get()) == 0, "put_bignum2 again");
      BIGNUM *back = nullptr;
      fuzz_check(sshbuf_get_bignum2(again.get(), &back) == 0, "bignum re-read");
      vardek::unique_ptr<BIGNUM> b(back);
      fuzz_check(BN_cmp(v.get(), b.get()) == 0, "bignum round trip");
      break;
    }
  }
  return r;
}

void fuzz_codec(const uint8_t *data, size_t size) {
  buf_ptr in(sshbuf_from(data, size));
  fuzz_check(in != nullptr, "sshbuf_from");
  while (sshbuf_len(in.get()) > 0) {
    uint8_t sel;
    fuzz_check(sshbuf_get_u8(in.get(), &sel) == 0, "selector");
    const unsigned char *before = sshbuf_ptr(in.get());
    const size_t len_before = sshbuf_len(in.get());
    buf_ptr out(sshbuf_new());
    bool canonical;
    if (fuzz_read_one(sel, in.get(), out.get(), &canonical) != 0) {
      fuzz_check(sshbuf_ptr(in.get()) == before && sshbuf_len(in.get()) == len_before,
                 "failed read consumed input");
      return;
    }
    const size_t used = len_before - sshbuf_len(in.get());
    if (canonical) fuzz_check(fuzz_same(out.get(), before, used), "round trip bytes");
  }
}

void fuzz_queue(const uint8_t *data, size_t size) {
  buf_ptr q(sshbuf_new());
  std::deque<uint8_t> model;
  for (size_t i = 0; i + 1 < size; i += 2) {
    const uint8_t op = data[i];
    // Lengths scale up to ~8 KiB so compaction thresholds are crossed.
    const size_t n = static_cast<size_t>(data[i + 1]) * (op & 0x80 ? 33 : 1);
    switch (op % 6) {
      case 0: {
        if (model.size() > kQueueCap) break;
        std::vector<uint8_t> chunk(n);
        for (size_t k = 0; k < n; k++) chunk[k] = static_cast<uint8_t>(i + k);
        fuzz_check(sshbuf_put(q.get(), chunk.data(), n) == 0, "put");
        model.insert(model.end(), chunk.begin(), chunk.end());
        break;
      }
      case 1: {
        const int r = sshbuf_consume(q.get(), n);
        if (n > model.size()) {
          fuzz_check(r != 0, "over-consume accepted");
        } else {
          fuzz_check(r == 0, "consume");
          model.erase(model.begin(), model.begin() + static_cast<std::ptrdiff_t>(n));
        }
        break;
      }
      case 2: {
        uint32_t v;
        const int r = sshbuf_get_u32(q.get(), &v);
        if (model.size() < 4) {
          fuzz_check(r != 0, "short u32 accepted");
        } else {
          fuzz_check(r == 0, "get_u32");
          const uint32_t want = static_cast<uint32_t>(model[0]) << 24 |
                                static_cast<uint32_t>(model[1]) << 16 |
                                static_cast<uint32_t>(model[2]) << 8 | model[3];
          fuzz_check(v == want, "u32 value");
          model.erase(model.begin(), model.begin() + 4);
        }
        break;
      }
      case 3:
        if (op & 0x40) {
          sshbuf_reset(q.get());
          model.clear();
        } else {
          fuzz_check(sshbuf_reserve(q.get(), 0, nullptr) == 0, "reserve 0");
        }
        break;
      case 4:
        // Append the queue to itself, bounded so inputs stay fast.
        if (model.size() <= kQueueCap) {
          fuzz_check(sshbuf_putb(q.get(), q.get()) == 0, "self putb");
          const std::vector<uint8_t> copy(model.begin(), model.end());
          model.insert(model.end(), copy.begin(), copy.end());
        }
        break;
      case 5:
        fuzz_check(sshbuf_put_string(q.get(), data, n > size ? size : n) == 0, "put_string");
        {
          const size_t m = n > size ? size : n;
          const uint8_t hdr[4] = {static_cast<uint8_t>(m >> 24), static_cast<uint8_t>(m >> 16),
                                  static_cast<uint8_t>(m >> 8), static_cast<uint8_t>(m)};
          model.insert(model.end(), hdr, hdr + 4);
          model.insert(model.end(), data, data + m);
        }
        break;
    }
    fuzz_check(sshbuf_len(q.get()) == model.size() &&
                   std::equal(model.begin(), model.end(), sshbuf_ptr(q.get())),
               "queue contents");
    fuzz_check(q->alloc % 256 == 0, "allocation step");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  if ((data[0] & 1) == 0) {
    fuzz_codec(data + 1, size - 1);
  } else {
    fuzz_queue(data + 1, size - 1);
  }
  return 0;
}
