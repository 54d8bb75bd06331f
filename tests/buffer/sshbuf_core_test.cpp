// Buffer core: construction, views, consumption, growth, compaction, limits,
// read-only rules, reset and release.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "buffer/sshbuf-ptr.h"
#include "buffer/sshbuf.h"
#include "common/bytes.h"
#include "log/ssherr.h"
#include "sshbuf_test_util.h"

using vardek::test::buf_ptr;
using vardek::test::buf_with;
using vardek::test::Bytes;
using vardek::test::pattern;
using vardek::test::to_hex;
using vardek::test::unread;

namespace {

constexpr size_t kMax = 0x8000000;

// A block of `n` bytes for views that are never read past their start;
// pages are not touched, so even 128 MiB costs little.
struct raw_block {
  explicit raw_block(size_t n) : p(static_cast<unsigned char *>(std::malloc(n))) {}
  ~raw_block() { std::free(p); }
  raw_block(const raw_block &) = delete;
  raw_block &operator=(const raw_block &) = delete;
  unsigned char *p;
};

bool all_zero(const unsigned char *p, size_t n) {
  for (size_t i = 0; i < n; i++) {
    if (p[i] != 0) return false;
  }
  return true;
}

}  // namespace

TEST(SshbufNew, StartsEmptyWithZeroedInitialStorage) {
  buf_ptr b(sshbuf_new());
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->data, b->cdata);
  EXPECT_EQ(b->off, 0u);
  EXPECT_EQ(b->size, 0u);
  EXPECT_EQ(b->alloc, 256u);
  EXPECT_EQ(b->max_size, kMax);
  EXPECT_EQ(b->readonly, 0);
  EXPECT_EQ(b->refcount, 1u);
  EXPECT_EQ(b->parent, nullptr);
  EXPECT_TRUE(all_zero(b->data, 256));
  EXPECT_EQ(sshbuf_len(b.get()), 0u);
  EXPECT_EQ(sshbuf_ptr(b.get()), b->data);
}

TEST(SshbufFrom, LengthLimitsAndMissingMemory) {
  raw_block big(kMax + 1);
  ASSERT_NE(big.p, nullptr);
  buf_ptr at_limit(sshbuf_from(big.p, kMax));
  ASSERT_NE(at_limit, nullptr);
  EXPECT_EQ(sshbuf_len(at_limit.get()), kMax);
  EXPECT_EQ(at_limit->max_size, kMax);
  EXPECT_EQ(at_limit->alloc, kMax);
  EXPECT_EQ(sshbuf_from(big.p, kMax + 1), nullptr);

  EXPECT_EQ(sshbuf_from(nullptr, 0), nullptr);
  EXPECT_EQ(sshbuf_from(nullptr, 4), nullptr);

  const unsigned char one = 0x5a;
  buf_ptr empty(sshbuf_from(&one, 0));
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(sshbuf_len(empty.get()), 0u);
  EXPECT_EQ(empty->readonly, 1);
  EXPECT_EQ(empty->data, nullptr);
  EXPECT_EQ(empty->cdata, &one);
}

TEST(SshbufFrom, ViewsCallerMemoryWithoutCopying) {
  const Bytes blob = "01 02 03 04 05"_hex;
  buf_ptr v(sshbuf_from(blob.data(), blob.size()));
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(sshbuf_ptr(v.get()), blob.data());
  EXPECT_EQ(sshbuf_consume(v.get(), 2), 0);
  EXPECT_EQ(sshbuf_ptr(v.get()), blob.data() + 2);
  EXPECT_EQ(to_hex(unread(v.get())), "03 04 05");
}

TEST(SshbufConsume, ExactPastAndZero) {
  buf_ptr b = buf_with("0a 0b 0c 0d"_hex);
  EXPECT_EQ(sshbuf_consume(b.get(), 0), 0);
  EXPECT_EQ(sshbuf_len(b.get()), 4u);

  EXPECT_EQ(sshbuf_consume(b.get(), 1), 0);
  EXPECT_EQ(b->off, 1u);
  EXPECT_EQ(sshbuf_consume(b.get(), 4), SSH_ERR_INCOMPLETE_MESSAGE);
  EXPECT_EQ(b->off, 1u);
  EXPECT_EQ(b->size, 4u);
  EXPECT_EQ(to_hex(unread(b.get())), "0b 0c 0d");

  EXPECT_EQ(sshbuf_consume(b.get(), 3), 0);
  EXPECT_EQ(b->off, 0u);
  EXPECT_EQ(b->size, 0u);
  EXPECT_EQ(sshbuf_consume(b.get(), 0), 0);
  EXPECT_EQ(sshbuf_consume(b.get(), 1), SSH_ERR_INCOMPLETE_MESSAGE);

  // Views and buffers with children are consumed the same way.
  const Bytes blob = "01 02"_hex;
  buf_ptr v(sshbuf_from(blob.data(), blob.size()));
  EXPECT_EQ(sshbuf_consume(v.get(), 3), SSH_ERR_INCOMPLETE_MESSAGE);
  EXPECT_EQ(sshbuf_consume(v.get(), 2), 0);
  EXPECT_EQ(sshbuf_len(v.get()), 0u);
}

TEST(SshbufReserve, ZeroLengthAndOutPointer) {
  buf_ptr b = buf_with("11 22"_hex);
  unsigned char *p = reinterpret_cast<unsigned char *>(&p);
  EXPECT_EQ(sshbuf_reserve(b.get(), 0, &p), 0);
  EXPECT_EQ(p, b->data + 2);
  EXPECT_EQ(sshbuf_len(b.get()), 2u);

  EXPECT_EQ(sshbuf_reserve(b.get(), 3, &p), 0);
  ASSERT_EQ(p, b->data + 2);
  std::memcpy(p, "\x33\x44\x55", 3);
  EXPECT_EQ(to_hex(unread(b.get())), "11 22 33 44 55");

  const Bytes blob = "00"_hex;
  buf_ptr v(sshbuf_from(blob.data(), blob.size()));
  p = b->data;
  EXPECT_EQ(sshbuf_reserve(v.get(), 1, &p), SSH_ERR_BUFFER_READ_ONLY);
  EXPECT_EQ(p, nullptr);
}

TEST(SshbufGrowth, StepsOf256) {
  buf_ptr b(sshbuf_new());
  const Bytes first = pattern(256);
  ASSERT_EQ(sshbuf_put(b.get(), first.data(), first.size()), 0);
  EXPECT_EQ(b->alloc, 256u);
  ASSERT_EQ(sshbuf_put_u8(b.get(), 0xee), 0);
  EXPECT_EQ(b->alloc, 512u);
  Bytes want = first;
  want.push_back(0xee);
  EXPECT_EQ(unread(b.get()), want);
  // The bytes past the end after a growth are zero, not leftovers.
  EXPECT_TRUE(all_zero(b->data + b->size, b->alloc - b->size));

  buf_ptr c(sshbuf_new());
  const Bytes three_hundred = pattern(300, 7);
  ASSERT_EQ(sshbuf_put(c.get(), three_hundred.data(), three_hundred.size()), 0);
  EXPECT_EQ(c->alloc, 512u);
  EXPECT_EQ(unread(c.get()), three_hundred);

  // Linear, not geometric: one more step, not a doubling.
  const Bytes more = pattern(300);
  ASSERT_EQ(sshbuf_put(c.get(), more.data(), more.size()), 0);
  EXPECT_EQ(c->alloc, 768u);
}

TEST(SshbufCompaction, LargeConsumedPrefixIsReclaimed) {
  buf_ptr b(sshbuf_new());
  const Bytes data = pattern(10100);
  ASSERT_EQ(sshbuf_put(b.get(), data.data(), data.size()), 0);
  const uint64_t alloc = b->alloc;
  ASSERT_EQ(sshbuf_consume(b.get(), 10000), 0);
  ASSERT_EQ(sshbuf_put_u8(b.get(), 0x99), 0);
  EXPECT_EQ(b->off, 0u);
  EXPECT_EQ(b->size, 101u);
  EXPECT_EQ(b->alloc, alloc);
  Bytes want(data.begin() + 10000, data.end());
  want.push_back(0x99);
  EXPECT_EQ(unread(b.get()), want);
}

TEST(SshbufCompaction, SmallConsumedPrefixStays) {
  buf_ptr b(sshbuf_new());
  const Bytes data = pattern(8100);
  ASSERT_EQ(sshbuf_put(b.get(), data.data(), data.size()), 0);
  ASSERT_EQ(sshbuf_consume(b.get(), 8000), 0);
  ASSERT_EQ(sshbuf_put_u8(b.get(), 0x99), 0);
  EXPECT_EQ(b->off, 8000u);
  EXPECT_EQ(b->size, 8101u);

  // Above 8192 but below half of the used region: still no move.
  buf_ptr c(sshbuf_new());
  const Bytes more = pattern(20000);
  ASSERT_EQ(sshbuf_put(c.get(), more.data(), more.size()), 0);
  ASSERT_EQ(sshbuf_consume(c.get(), 9000), 0);
  ASSERT_EQ(sshbuf_put_u8(c.get(), 0x99), 0);
  EXPECT_EQ(c->off, 9000u);
  // Reserving nothing may compact once the threshold is met.
  ASSERT_EQ(sshbuf_consume(c.get(), 1001), 0);
  ASSERT_EQ(sshbuf_reserve(c.get(), 0, nullptr), 0);
  EXPECT_EQ(c->off, 0u);
  EXPECT_EQ(c->size, 10000u);
}

// One 128 MiB buffer walks the limit: unread bytes count, consumed ones do
// not, and an append that only fits after compaction forces it.
TEST(SshbufLimit, UnreadBytesCountAgainstMaxSize) {
  buf_ptr b(sshbuf_new());
  unsigned char *p;
  ASSERT_EQ(sshbuf_reserve(b.get(), kMax - 100, &p), 0);
  EXPECT_EQ(b->alloc, kMax);
  ASSERT_EQ(sshbuf_check_reserve(b.get(), 100), 0);
  EXPECT_EQ(sshbuf_check_reserve(b.get(), 101), SSH_ERR_INSUFFICIENT_SPACE);
  EXPECT_EQ(sshbuf_check_reserve(b.get(), kMax + 1), SSH_ERR_INSUFFICIENT_SPACE);
  EXPECT_EQ(sshbuf_check_reserve(b.get(), SIZE_MAX), SSH_ERR_INSUFFICIENT_SPACE);
  std::memset(p, 0xab, kMax - 100);
  p[kMax - 101] = 0xcd;

  // 100 unread bytes behind a prefix of almost 128 MiB.
  ASSERT_EQ(sshbuf_consume(b.get(), kMax - 200), 0);
  ASSERT_EQ(sshbuf_len(b.get()), 100u);
  const uint64_t off = b->off;

  EXPECT_EQ(sshbuf_reserve(b.get(), kMax - 99, &p), SSH_ERR_INSUFFICIENT_SPACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(b->off, off);
  EXPECT_EQ(sshbuf_len(b.get()), 100u);

  // Fits only once the prefix is gone: compaction is forced.
  ASSERT_EQ(sshbuf_reserve(b.get(), kMax - 100, &p), 0);
  EXPECT_EQ(b->off, 0u);
  EXPECT_EQ(b->size, kMax);
  EXPECT_EQ(b->alloc, kMax);
  EXPECT_EQ(b->data[0], 0xab);
  EXPECT_EQ(b->data[99], 0xcd);
  EXPECT_EQ(p, b->data + 100);
  EXPECT_EQ(sshbuf_put_u8(b.get(), 0), SSH_ERR_INSUFFICIENT_SPACE);
}

TEST(SshbufReadOnly, ViewsRefuseEveryWrite) {
  const Bytes blob = "00 00 00 01 41"_hex;
  buf_ptr v(sshbuf_from(blob.data(), blob.size()));
  buf_ptr src = buf_with("01"_hex);
  EXPECT_EQ(sshbuf_check_reserve(v.get(), 0), SSH_ERR_BUFFER_READ_ONLY);
  EXPECT_EQ(sshbuf_reserve(v.get(), 0, nullptr), SSH_ERR_BUFFER_READ_ONLY);
  EXPECT_EQ(sshbuf_put(v.get(), "x", 1), SSH_ERR_BUFFER_READ_ONLY);
  EXPECT_EQ(sshbuf_putb(v.get(), src.get()), SSH_ERR_BUFFER_READ_ONLY);
  EXPECT_EQ(sshbuf_put_u8(v.get(), 1), SSH_ERR_BUFFER_READ_ONLY);
  EXPECT_EQ(sshbuf_put_u32(v.get(), 1), SSH_ERR_BUFFER_READ_ONLY);
  EXPECT_EQ(sshbuf_put_u64(v.get(), 1), SSH_ERR_BUFFER_READ_ONLY);
  EXPECT_EQ(sshbuf_put_string(v.get(), "x", 1), SSH_ERR_BUFFER_READ_ONLY);
  EXPECT_EQ(sshbuf_put_cstring(v.get(), "x"), SSH_ERR_BUFFER_READ_ONLY);
  EXPECT_EQ(sshbuf_put_stringb(v.get(), nullptr), SSH_ERR_BUFFER_READ_ONLY);
  EXPECT_EQ(unread(v.get()), blob);

  sshbuf *child = nullptr;
  ASSERT_EQ(sshbuf_froms(v.get(), &child), 0);
  buf_ptr c(child);
  EXPECT_EQ(sshbuf_put_u8(c.get(), 1), SSH_ERR_BUFFER_READ_ONLY);
  EXPECT_EQ(to_hex(unread(c.get())), "41");
}

TEST(SshbufReadOnly, ParentWithLiveChildRefusesWritesUntilChildFreed) {
  buf_ptr b = buf_with("00 00 00 02 68 69 ff"_hex);
  sshbuf *child = nullptr;
  ASSERT_EQ(sshbuf_froms(b.get(), &child), 0);
  EXPECT_EQ(sshbuf_put_u8(b.get(), 1), SSH_ERR_BUFFER_READ_ONLY);
  EXPECT_EQ(sshbuf_reserve(b.get(), 0, nullptr), SSH_ERR_BUFFER_READ_ONLY);
  EXPECT_EQ(sshbuf_put_string(b.get(), "x", 1), SSH_ERR_BUFFER_READ_ONLY);
  // Reading and consuming the parent is still allowed.
  uint8_t v = 0;
  EXPECT_EQ(sshbuf_get_u8(b.get(), &v), 0);
  EXPECT_EQ(v, 0xff);
  EXPECT_EQ(to_hex(unread(child)), "68 69");
  sshbuf_free(child);
  EXPECT_EQ(b->refcount, 1u);
  EXPECT_EQ(sshbuf_put_u8(b.get(), 1), 0);
  EXPECT_EQ(to_hex(unread(b.get())), "01");
}

TEST(SshbufReset, ViewReadsEmptyAndMemoryUntouched) {
  const Bytes blob = "de ad be ef"_hex;
  const Bytes copy = blob;
  buf_ptr v(sshbuf_from(blob.data(), blob.size()));
  sshbuf_reset(v.get());
  EXPECT_EQ(sshbuf_len(v.get()), 0u);
  EXPECT_EQ(blob, copy);
  EXPECT_EQ(sshbuf_consume(v.get(), 1), SSH_ERR_INCOMPLETE_MESSAGE);
}

TEST(SshbufReset, GrownBufferShrinksTo256AndIsZeroed) {
  buf_ptr b(sshbuf_new());
  const Bytes data = pattern(4096, 1);
  ASSERT_EQ(sshbuf_put(b.get(), data.data(), data.size()), 0);
  ASSERT_EQ(b->alloc, 4096u);
  ASSERT_EQ(sshbuf_consume(b.get(), 10), 0);
  sshbuf_reset(b.get());
  EXPECT_EQ(b->alloc, 256u);
  EXPECT_EQ(b->off, 0u);
  EXPECT_EQ(b->size, 0u);
  EXPECT_EQ(b->data, b->cdata);
  EXPECT_TRUE(all_zero(b->data, 256));

  // Without a resize the contents are wiped in place.
  ASSERT_EQ(sshbuf_put(b.get(), data.data(), 100), 0);
  unsigned char *before = b->data;
  sshbuf_reset(b.get());
  EXPECT_EQ(b->data, before);
  EXPECT_TRUE(all_zero(b->data, 256));
  EXPECT_EQ(sshbuf_put_u8(b.get(), 7), 0);
  EXPECT_EQ(to_hex(unread(b.get())), "07");
}

TEST(SshbufReset, ParentWithChildOnlySkipsUnread) {
  buf_ptr b = buf_with("00 00 00 03 61 62 63 01 02"_hex);
  sshbuf *child = nullptr;
  ASSERT_EQ(sshbuf_froms(b.get(), &child), 0);
  buf_ptr c(child);
  const uint64_t alloc = b->alloc;
  sshbuf_reset(b.get());
  EXPECT_EQ(sshbuf_len(b.get()), 0u);
  EXPECT_EQ(b->alloc, alloc);
  EXPECT_EQ(to_hex(unread(c.get())), "61 62 63");
}

TEST(SshbufFroms, ChildViewOfString) {
  buf_ptr b = buf_with("00 00 00 03 61 62 63"_hex);
  sshbuf *child = nullptr;
  ASSERT_EQ(sshbuf_froms(b.get(), &child), 0);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(sshbuf_len(child), 3u);
  EXPECT_EQ(to_hex(unread(child)), "61 62 63");
  EXPECT_EQ(sshbuf_ptr(child), b->data + 4);
  EXPECT_EQ(child->readonly, 1);
  EXPECT_EQ(child->parent, b.get());
  EXPECT_EQ(sshbuf_len(b.get()), 0u);
  EXPECT_EQ(b->refcount, 2u);

  // Parent first: its record and storage live on for the child.
  sshbuf *parent = b.release();
  sshbuf_free(parent);
  EXPECT_EQ(parent->refcount, 1u);
  EXPECT_EQ(to_hex(unread(child)), "61 62 63");
  sshbuf_free(child);  // releases both; LeakSanitizer checks nothing is left
}

TEST(SshbufFroms, ErrorsLeaveSourceAlone) {
  buf_ptr short_body = buf_with("00 00 00 05 61"_hex);
  sshbuf *out = reinterpret_cast<sshbuf *>(&out);
  EXPECT_EQ(sshbuf_froms(short_body.get(), &out), SSH_ERR_INCOMPLETE_MESSAGE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(to_hex(unread(short_body.get())), "00 00 00 05 61");
  EXPECT_EQ(short_body->refcount, 1u);

  buf_ptr short_len = buf_with("00 00 00"_hex);
  EXPECT_EQ(sshbuf_froms(short_len.get(), &out), SSH_ERR_INCOMPLETE_MESSAGE);

  buf_ptr huge = buf_with("07 ff ff fd"_hex);
  EXPECT_EQ(sshbuf_froms(huge.get(), &out), SSH_ERR_STRING_TOO_LARGE);
  EXPECT_EQ(sshbuf_len(huge.get()), 4u);

  sshbuf *untouched = reinterpret_cast<sshbuf *>(&untouched);
  EXPECT_EQ(sshbuf_froms(nullptr, &untouched), SSH_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(untouched, reinterpret_cast<sshbuf *>(&untouched));
}

TEST(SshbufFroms, RefcountAtLimitIsRefusedBeforeConsuming) {
  buf_ptr b = buf_with("00 00 00 01 61"_hex);
  b->refcount = SSHBUF_REFS_MAX;
  sshbuf *out = nullptr;
  EXPECT_EQ(sshbuf_froms(b.get(), &out), SSH_ERR_UNEXPECTED_INTERNAL);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(b->refcount, static_cast<uint32_t>(SSHBUF_REFS_MAX));
  EXPECT_EQ(sshbuf_len(b.get()), 5u);
  b->refcount = 1;
}

TEST(SshbufFroms, SeveralAndNestedChildren) {
  buf_ptr b = buf_with("00 00 00 08 00 00 00 04 77 78 79 7a 00 00 00 01 30"_hex);
  sshbuf *outer = nullptr, *inner = nullptr, *second = nullptr;
  ASSERT_EQ(sshbuf_froms(b.get(), &outer), 0);
  ASSERT_EQ(sshbuf_froms(outer, &inner), 0);
  ASSERT_EQ(sshbuf_froms(b.get(), &second), 0);
  EXPECT_EQ(b->refcount, 3u);
  EXPECT_EQ(outer->refcount, 2u);
  EXPECT_EQ(to_hex(unread(inner)), "77 78 79 7a");
  EXPECT_EQ(to_hex(unread(second)), "30");
  EXPECT_EQ(sshbuf_len(outer), 0u);

  sshbuf_free(outer);
  EXPECT_EQ(b->refcount, 3u);  // outer still held by inner
  sshbuf_free(second);
  EXPECT_EQ(b->refcount, 2u);
  sshbuf *parent = b.release();
  sshbuf_free(parent);
  EXPECT_EQ(to_hex(unread(inner)), "77 78 79 7a");
  sshbuf_free(inner);  // releases inner, outer and the parent
}

// A long chain of nested views is released by its innermost member without
// recursing once per level.
TEST(SshbufFroms, DeepChainReleasesFromTheInside) {
  constexpr size_t depth = 200000;
  Bytes wire(4 * (depth + 1), 0);
  for (size_t i = 0; i < depth; i++) {
    const uint32_t len = static_cast<uint32_t>(4 * (depth - i));
    wire[4 * i] = static_cast<uint8_t>(len >> 24);
    wire[4 * i + 1] = static_cast<uint8_t>(len >> 16);
    wire[4 * i + 2] = static_cast<uint8_t>(len >> 8);
    wire[4 * i + 3] = static_cast<uint8_t>(len);
  }
  sshbuf *cur = sshbuf_new();
  ASSERT_EQ(sshbuf_put(cur, wire.data(), wire.size()), 0);
  for (size_t i = 0; i < depth; i++) {
    sshbuf *next = nullptr;
    ASSERT_EQ(sshbuf_froms(cur, &next), 0) << "level " << i;
    sshbuf_free(cur);  // the child keeps it alive
    cur = next;
  }
  EXPECT_EQ(to_hex(unread(cur)), "00 00 00 00");
  sshbuf_free(cur);
  sshbuf_free(nullptr);  // nothing to release
}

TEST(SshbufPutb, AppendsUnreadBytesWithoutConsuming) {
  buf_ptr dst = buf_with("01"_hex);
  buf_ptr src = buf_with("aa bb cc"_hex);
  ASSERT_EQ(sshbuf_consume(src.get(), 1), 0);
  EXPECT_EQ(sshbuf_putb(dst.get(), src.get()), 0);
  EXPECT_EQ(to_hex(unread(dst.get())), "01 bb cc");
  EXPECT_EQ(to_hex(unread(src.get())), "bb cc");
  EXPECT_EQ(sshbuf_putb(dst.get(), nullptr), 0);
  EXPECT_EQ(sshbuf_len(dst.get()), 3u);
}

// Appending a buffer to itself copies from where its bytes are after the
// storage grows or is compacted, never from released memory.
TEST(SshbufPutb, SelfAppendAcrossGrowthAndCompaction) {
  const Bytes data = pattern(200, 3);
  buf_ptr b = buf_with(data);
  ASSERT_EQ(sshbuf_putb(b.get(), b.get()), 0);
  EXPECT_EQ(b->alloc, 512u);
  Bytes twice = data;
  twice.insert(twice.end(), data.begin(), data.end());
  EXPECT_EQ(unread(b.get()), twice);

  buf_ptr c = buf_with(pattern(10000));
  ASSERT_EQ(sshbuf_consume(c.get(), 9900), 0);
  const Bytes tail = unread(c.get());
  ASSERT_EQ(sshbuf_put(c.get(), sshbuf_ptr(c.get()) + 50, 50), 0);
  EXPECT_EQ(c->off, 0u);
  Bytes want = tail;
  want.insert(want.end(), tail.begin() + 50, tail.end());
  EXPECT_EQ(unread(c.get()), want);
}

TEST(SshbufPut, QueueFilledAndDrainedInPieces) {
  // A long run of small appends and reads keeps the bytes in order and the
  // allocation bounded by the unread amount plus the compaction slack.
  buf_ptr q(sshbuf_new());
  uint32_t next_in = 0, next_out = 0;
  for (int round = 0; round < 2000; round++) {
    for (int i = 0; i < 7; i++) ASSERT_EQ(sshbuf_put_u32(q.get(), next_in++), 0);
    for (int i = 0; i < 6; i++) {
      uint32_t v;
      ASSERT_EQ(sshbuf_get_u32(q.get(), &v), 0);
      ASSERT_EQ(v, next_out++);
    }
  }
  EXPECT_EQ(sshbuf_len(q.get()), 4u * (next_in - next_out));
  EXPECT_LE(q->alloc, 2 * (sshbuf_len(q.get()) + SSHBUF_PACK_MIN) + 256);
  while (sshbuf_len(q.get()) > 0) {
    uint32_t v;
    ASSERT_EQ(sshbuf_get_u32(q.get(), &v), 0);
    ASSERT_EQ(v, next_out++);
  }
  EXPECT_EQ(q->off, 0u);
  EXPECT_EQ(q->size, 0u);
}
