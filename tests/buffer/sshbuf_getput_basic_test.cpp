// Codec for integers, strings and texts: byte-exact encodings, limits, and
// readers that leave the buffer alone when they fail.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

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

std::string hex_of(const sshbuf *b) { return to_hex(unread(b)); }

}  // namespace

TEST(SshbufGetInt, ValuesAndShortInput) {
  buf_ptr b = buf_with("00 00 01 00 ff 01 02 03 04 05 06 07 08"_hex);
  uint32_t u32 = 1;
  ASSERT_EQ(sshbuf_get_u32(b.get(), &u32), 0);
  EXPECT_EQ(u32, 256u);
  uint8_t u8 = 0;
  ASSERT_EQ(sshbuf_get_u8(b.get(), &u8), 0);
  EXPECT_EQ(u8, 0xff);
  uint64_t u64 = 0;
  ASSERT_EQ(sshbuf_get_u64(b.get(), &u64), 0);
  EXPECT_EQ(u64, 0x0102030405060708u);
  EXPECT_EQ(sshbuf_get_u8(b.get(), &u8), SSH_ERR_INCOMPLETE_MESSAGE);

  buf_ptr three = buf_with("00 00 01"_hex);
  u32 = 7;
  EXPECT_EQ(sshbuf_get_u32(three.get(), &u32), SSH_ERR_INCOMPLETE_MESSAGE);
  EXPECT_EQ(hex_of(three.get()), "00 00 01");
  buf_ptr seven = buf_with("01 02 03 04 05 06 07"_hex);
  EXPECT_EQ(sshbuf_get_u64(seven.get(), &u64), SSH_ERR_INCOMPLETE_MESSAGE);
  EXPECT_EQ(sshbuf_len(seven.get()), 7u);
}

TEST(SshbufGetInt, U32WithoutOutSkipsTheField) {
  buf_ptr b = buf_with("de ad be ef 2a"_hex);
  ASSERT_EQ(sshbuf_get_u32(b.get(), nullptr), 0);
  EXPECT_EQ(hex_of(b.get()), "2a");
}

TEST(SshbufPutInt, BigEndianBytes) {
  buf_ptr b(sshbuf_new());
  ASSERT_EQ(sshbuf_put_u8(b.get(), 0x81), 0);
  ASSERT_EQ(sshbuf_put_u32(b.get(), 0x01020304), 0);
  ASSERT_EQ(sshbuf_put_u64(b.get(), 0xf1f2f3f4f5f6f7f8u), 0);
  EXPECT_EQ(hex_of(b.get()), "81 01 02 03 04 f1 f2 f3 f4 f5 f6 f7 f8");
}

TEST(SshbufPeekString, LimitsAndNothingConsumed) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>("x");
  size_t len = 99;

  // The length field is judged before the bytes are looked for.
  buf_ptr huge = buf_with("07 ff ff fd 00"_hex);
  EXPECT_EQ(sshbuf_peek_string_direct(huge.get(), &p, &len), SSH_ERR_STRING_TOO_LARGE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(sshbuf_len(huge.get()), 5u);
  EXPECT_EQ(sshbuf_get_string_direct(huge.get(), &p, &len), SSH_ERR_STRING_TOO_LARGE);
  EXPECT_EQ(sshbuf_len(huge.get()), 5u);

  buf_ptr at_limit = buf_with("07 ff ff fc 00"_hex);
  EXPECT_EQ(sshbuf_peek_string_direct(at_limit.get(), &p, &len), SSH_ERR_INCOMPLETE_MESSAGE);
  buf_ptr short_body = buf_with("00 00 00 05 61 62 63 64"_hex);
  EXPECT_EQ(sshbuf_get_string_direct(short_body.get(), &p, &len), SSH_ERR_INCOMPLETE_MESSAGE);
  EXPECT_EQ(sshbuf_len(short_body.get()), 8u);
  buf_ptr short_len = buf_with("00 00 00"_hex);
  EXPECT_EQ(sshbuf_peek_string_direct(short_len.get(), nullptr, nullptr),
            SSH_ERR_INCOMPLETE_MESSAGE);

  buf_ptr ok = buf_with("00 00 00 02 68 69 21"_hex);
  ASSERT_EQ(sshbuf_peek_string_direct(ok.get(), &p, &len), 0);
  EXPECT_EQ(p, sshbuf_ptr(ok.get()) + 4);
  EXPECT_EQ(len, 2u);
  EXPECT_EQ(sshbuf_len(ok.get()), 7u);
  ASSERT_EQ(sshbuf_get_string_direct(ok.get(), &p, &len), 0);
  EXPECT_EQ(to_hex(p, len), "68 69");
  EXPECT_EQ(hex_of(ok.get()), "21");
  ASSERT_EQ(sshbuf_get_string_direct(buf_with("00 00 00 00"_hex).get(), nullptr, nullptr), 0);
}

TEST(SshbufGetString, CopiesWithNulAndKeepsEmbeddedNuls) {
  buf_ptr b = buf_with("00 00 00 00 00 00 00 03 61 00 62 ee"_hex);
  unsigned char *s = nullptr;
  size_t len = 99;
  ASSERT_EQ(sshbuf_get_string(b.get(), &s, &len), 0);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(s[0], 0);
  std::free(s);

  ASSERT_EQ(sshbuf_get_string(b.get(), &s, &len), 0);
  ASSERT_EQ(len, 3u);
  EXPECT_EQ(to_hex(s, 4), "61 00 62 00");
  std::free(s);
  EXPECT_EQ(hex_of(b.get()), "ee");

  s = reinterpret_cast<unsigned char *>(&s);
  len = 5;
  EXPECT_EQ(sshbuf_get_string(b.get(), &s, &len), SSH_ERR_INCOMPLETE_MESSAGE);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(hex_of(b.get()), "ee");
}

TEST(SshbufGetCstring, NulOnlyAsLastByte) {
  char *t = nullptr;
  size_t len = 0;
  buf_ptr trailing = buf_with("00 00 00 03 61 62 00"_hex);
  ASSERT_EQ(sshbuf_get_cstring(trailing.get(), &t, &len), 0);
  EXPECT_STREQ(t, "ab");
  EXPECT_EQ(len, 3u);
  EXPECT_EQ(sshbuf_len(trailing.get()), 0u);
  std::free(t);

  buf_ptr leading = buf_with("00 00 00 02 00 62"_hex);
  t = reinterpret_cast<char *>(&t);
  len = 9;
  EXPECT_EQ(sshbuf_get_cstring(leading.get(), &t, &len), SSH_ERR_INVALID_FORMAT);
  EXPECT_EQ(t, nullptr);
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(hex_of(leading.get()), "00 00 00 02 00 62");

  buf_ptr two_nuls = buf_with("00 00 00 02 00 00"_hex);
  EXPECT_EQ(sshbuf_get_cstring(two_nuls.get(), &t, nullptr), SSH_ERR_INVALID_FORMAT);
  buf_ptr only_nul = buf_with("00 00 00 01 00"_hex);
  ASSERT_EQ(sshbuf_get_cstring(only_nul.get(), &t, &len), 0);
  EXPECT_STREQ(t, "");
  EXPECT_EQ(len, 1u);
  std::free(t);

  buf_ptr empty = buf_with("00 00 00 00 00 00 00 02 68 69"_hex);
  ASSERT_EQ(sshbuf_get_cstring(empty.get(), &t, &len), 0);
  EXPECT_STREQ(t, "");
  EXPECT_EQ(len, 0u);
  std::free(t);
  ASSERT_EQ(sshbuf_get_cstring(empty.get(), &t, nullptr), 0);
  EXPECT_STREQ(t, "hi");
  std::free(t);

  buf_ptr huge = buf_with("08 00 00 00"_hex);
  EXPECT_EQ(sshbuf_get_cstring(huge.get(), &t, nullptr), SSH_ERR_STRING_TOO_LARGE);
  EXPECT_EQ(sshbuf_len(huge.get()), 4u);
}

TEST(SshbufGetStringb, MovesBytesIntoDestination) {
  buf_ptr src = buf_with("00 00 00 03 61 62 63 7f"_hex);
  buf_ptr dst = buf_with("01"_hex);
  ASSERT_EQ(sshbuf_get_stringb(src.get(), dst.get()), 0);
  EXPECT_EQ(hex_of(dst.get()), "01 61 62 63");
  EXPECT_EQ(hex_of(src.get()), "7f");

  buf_ptr incomplete = buf_with("00 00 00 03 61 62"_hex);
  EXPECT_EQ(sshbuf_get_stringb(incomplete.get(), dst.get()), SSH_ERR_INCOMPLETE_MESSAGE);
  EXPECT_EQ(sshbuf_len(incomplete.get()), 6u);
  EXPECT_EQ(sshbuf_len(dst.get()), 4u);
}

// A destination that cannot take the bytes leaves the source exactly as it
// was, so the next reader still sees a whole string.
TEST(SshbufGetStringb, RefusingDestinationLeavesSourceFramed) {
  buf_ptr src = buf_with("00 00 00 02 68 69"_hex);
  const Bytes blob = "00"_hex;
  buf_ptr view(sshbuf_from(blob.data(), blob.size()));
  EXPECT_EQ(sshbuf_get_stringb(src.get(), view.get()), SSH_ERR_BUFFER_READ_ONLY);
  EXPECT_EQ(hex_of(src.get()), "00 00 00 02 68 69");
  char *t = nullptr;
  ASSERT_EQ(sshbuf_get_cstring(src.get(), &t, nullptr), 0);
  EXPECT_STREQ(t, "hi");
  std::free(t);
}

TEST(SshbufGetStringb, IntoItselfAcrossGrowth) {
  Bytes wire = "00 00 01 00"_hex;
  const Bytes body = pattern(256, 9);
  wire.insert(wire.end(), body.begin(), body.end());
  buf_ptr b = buf_with(wire);
  ASSERT_EQ(b->alloc, 512u);
  ASSERT_EQ(sshbuf_get_stringb(b.get(), b.get()), 0);
  EXPECT_EQ(unread(b.get()), body);
}

TEST(SshbufPutString, EncodingsAndLimit) {
  buf_ptr b(sshbuf_new());
  ASSERT_EQ(sshbuf_put_string(b.get(), "abc", 3), 0);
  ASSERT_EQ(sshbuf_put_string(b.get(), nullptr, 0), 0);
  ASSERT_EQ(sshbuf_put_cstring(b.get(), "hi"), 0);
  ASSERT_EQ(sshbuf_put_cstring(b.get(), ""), 0);
  EXPECT_EQ(hex_of(b.get()), "00 00 00 03 61 62 63 00 00 00 00 00 00 00 02 68 69 00 00 00 00");

  // Refused on the length alone: nothing is reserved or read.
  const uint64_t alloc = b->alloc;
  static const unsigned char one = 0;
  EXPECT_EQ(sshbuf_put_string(b.get(), &one, 0x7fffffd), SSH_ERR_INSUFFICIENT_SPACE);
  EXPECT_EQ(sshbuf_len(b.get()), 21u);
  EXPECT_EQ(b->alloc, alloc);
}

TEST(SshbufPutStringb, SourceNoneOrUnreadBytes) {
  buf_ptr b(sshbuf_new());
  ASSERT_EQ(sshbuf_put_stringb(b.get(), nullptr), 0);
  EXPECT_EQ(hex_of(b.get()), "00 00 00 00");

  buf_ptr src = buf_with("ff 10 20"_hex);
  ASSERT_EQ(sshbuf_consume(src.get(), 1), 0);
  ASSERT_EQ(sshbuf_put_stringb(b.get(), src.get()), 0);
  EXPECT_EQ(hex_of(b.get()), "00 00 00 00 00 00 00 02 10 20");
  EXPECT_EQ(hex_of(src.get()), "10 20");

  // Wrapping a buffer's own contents across a growth.
  buf_ptr self = buf_with(pattern(254));
  ASSERT_EQ(sshbuf_put_stringb(self.get(), self.get()), 0);
  EXPECT_EQ(self->alloc, 512u);
  Bytes want = pattern(254);
  const Bytes framed = "00 00 00 fe"_hex;
  want.insert(want.end(), framed.begin(), framed.end());
  const Bytes body = pattern(254);
  want.insert(want.end(), body.begin(), body.end());
  EXPECT_EQ(unread(self.get()), want);
}

TEST(SshbufCodec, RoundTrip) {
  buf_ptr b(sshbuf_new());
  const Bytes blob = pattern(1000, 0x80);
  ASSERT_EQ(sshbuf_put_u8(b.get(), 13), 0);
  ASSERT_EQ(sshbuf_put_u32(b.get(), 0xfffffffe), 0);
  ASSERT_EQ(sshbuf_put_u64(b.get(), 1), 0);
  ASSERT_EQ(sshbuf_put_string(b.get(), blob.data(), blob.size()), 0);
  ASSERT_EQ(sshbuf_put_cstring(b.get(), "label"), 0);

  uint8_t u8;
  uint32_t u32;
  uint64_t u64;
  const unsigned char *p;
  size_t len;
  char *text;
  ASSERT_EQ(sshbuf_get_u8(b.get(), &u8), 0);
  ASSERT_EQ(sshbuf_get_u32(b.get(), &u32), 0);
  ASSERT_EQ(sshbuf_get_u64(b.get(), &u64), 0);
  ASSERT_EQ(sshbuf_get_string_direct(b.get(), &p, &len), 0);
  EXPECT_EQ(u8, 13);
  EXPECT_EQ(u32, 0xfffffffeu);
  EXPECT_EQ(u64, 1u);
  EXPECT_EQ(Bytes(p, p + len), blob);
  ASSERT_EQ(sshbuf_get_cstring(b.get(), &text, &len), 0);
  EXPECT_STREQ(text, "label");
  EXPECT_EQ(len, 5u);
  std::free(text);
  EXPECT_EQ(sshbuf_len(b.get()), 0u);
}
