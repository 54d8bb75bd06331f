// Codec for mpints: encodings of small values, the 16,384-bit ceiling on
// writing and the 2049-byte ceiling on reading.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include "buffer/sshbuf-ptr.h"
#include "buffer/sshbuf.h"
#include "common/bytes.h"
#include "log/ssherr.h"
#include "sshbuf_test_util.h"
#include "util/ossl_ptr.h"

using vardek::test::buf_ptr;
using vardek::test::buf_with;
using vardek::test::Bytes;
using vardek::test::to_hex;
using vardek::test::unread;

namespace {

using bn_ptr = vardek::unique_ptr<BIGNUM>;

bn_ptr bn_word(BN_ULONG w) {
  bn_ptr v(BN_new());
  EXPECT_TRUE(v != nullptr && BN_set_word(v.get(), w));
  return v;
}

// 2^bits - 1: a number exactly `bits` long with every bit set.
bn_ptr bn_ones(int bits) {
  bn_ptr v(BN_new());
  EXPECT_TRUE(v != nullptr && BN_set_bit(v.get(), bits) && BN_sub_word(v.get(), 1));
  return v;
}

std::string put_hex(const BIGNUM *v) {
  buf_ptr b(sshbuf_new());
  EXPECT_EQ(sshbuf_put_bignum2(b.get(), v), 0);
  return to_hex(unread(b.get()));
}

// A string of `len` bytes whose first byte is `first` and the rest 0xa5.
Bytes mpint_wire(uint32_t len, uint8_t first) {
  Bytes w = {static_cast<uint8_t>(len >> 24), static_cast<uint8_t>(len >> 16),
             static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)};
  w.resize(4 + len, 0xa5);
  if (len > 0) w[4] = first;
  return w;
}

}  // namespace

TEST(SshbufPutBignum2, SmallValues) {
  EXPECT_EQ(put_hex(bn_word(0).get()), "00 00 00 00");
  EXPECT_EQ(put_hex(bn_word(0x80).get()), "00 00 00 02 00 80");
  EXPECT_EQ(put_hex(bn_word(0x7f).get()), "00 00 00 01 7f");
  EXPECT_EQ(put_hex(bn_word(0x10001).get()), "00 00 00 03 01 00 01");
  EXPECT_EQ(put_hex(bn_word(0xff00).get()), "00 00 00 03 00 ff 00");
}

TEST(SshbufPutBignum2, SixteenThousandBitCeiling) {
  buf_ptr b(sshbuf_new());
  bn_ptr too_big = bn_ones(16385);
  EXPECT_EQ(sshbuf_put_bignum2(b.get(), too_big.get()), SSH_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(sshbuf_len(b.get()), 0u);

  bn_ptr largest = bn_ones(16384);
  ASSERT_EQ(sshbuf_put_bignum2(b.get(), largest.get()), 0);
  const Bytes w = unread(b.get());
  ASSERT_EQ(w.size(), 4u + 2049u);
  EXPECT_EQ(to_hex(w.data(), 6), "00 00 08 01 00 ff");
  EXPECT_EQ(w.back(), 0xff);

  BIGNUM *back = nullptr;
  ASSERT_EQ(sshbuf_get_bignum2(b.get(), &back), 0);
  bn_ptr owned(back);
  EXPECT_EQ(BN_cmp(back, largest.get()), 0);
}

// The wire form carries no sign; a negative number is refused rather than
// written as its magnitude.
TEST(SshbufPutBignum2, NegativeAndMissingRefused) {
  buf_ptr b(sshbuf_new());
  bn_ptr neg = bn_word(5);
  BN_set_negative(neg.get(), 1);
  EXPECT_EQ(sshbuf_put_bignum2(b.get(), neg.get()), SSH_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(sshbuf_put_bignum2(b.get(), nullptr), SSH_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(sshbuf_len(b.get()), 0u);
}

TEST(SshbufPutBignum2, ReadOnlyBuffer) {
  const Bytes blob = "00"_hex;
  buf_ptr v(sshbuf_from(blob.data(), blob.size()));
  EXPECT_EQ(sshbuf_put_bignum2(v.get(), bn_word(1).get()), SSH_ERR_BUFFER_READ_ONLY);
}

TEST(SshbufGetBignum2, ValuesAndNonMinimalForms) {
  buf_ptr b = buf_with("00 00 00 03 00 00 05 00 00 00 00 00 00 00 02 00 80 ee"_hex);
  BIGNUM *v = nullptr;
  ASSERT_EQ(sshbuf_get_bignum2(b.get(), &v), 0);
  EXPECT_TRUE(BN_is_word(v, 5));
  BN_clear_free(v);
  ASSERT_EQ(sshbuf_get_bignum2(b.get(), &v), 0);
  EXPECT_TRUE(BN_is_zero(v));
  BN_clear_free(v);
  ASSERT_EQ(sshbuf_get_bignum2(b.get(), &v), 0);
  EXPECT_TRUE(BN_is_word(v, 0x80));
  BN_clear_free(v);
  EXPECT_EQ(to_hex(unread(b.get())), "ee");
}

TEST(SshbufGetBignum2, RefusalsConsumeNothing) {
  BIGNUM *v = reinterpret_cast<BIGNUM *>(&v);

  buf_ptr negative = buf_with("00 00 00 01 80"_hex);
  EXPECT_EQ(sshbuf_get_bignum2(negative.get(), &v), SSH_ERR_BIGNUM_NEGATIVE);
  EXPECT_EQ(v, nullptr);
  EXPECT_EQ(sshbuf_len(negative.get()), 5u);

  buf_ptr long_unpadded = buf_with(mpint_wire(2049, 0x01));
  EXPECT_EQ(sshbuf_get_bignum2(long_unpadded.get(), &v), SSH_ERR_BIGNUM_TOO_LARGE);
  EXPECT_EQ(sshbuf_len(long_unpadded.get()), 4u + 2049u);

  buf_ptr too_long = buf_with(mpint_wire(2050, 0x00));
  EXPECT_EQ(sshbuf_get_bignum2(too_long.get(), &v), SSH_ERR_BIGNUM_TOO_LARGE);

  // The sign is judged before the length.
  buf_ptr too_long_negative = buf_with(mpint_wire(2050, 0x80));
  EXPECT_EQ(sshbuf_get_bignum2(too_long_negative.get(), &v), SSH_ERR_BIGNUM_NEGATIVE);

  buf_ptr truncated = buf_with("00 00 00 02 01"_hex);
  EXPECT_EQ(sshbuf_get_bignum2(truncated.get(), &v), SSH_ERR_INCOMPLETE_MESSAGE);
  EXPECT_EQ(sshbuf_len(truncated.get()), 5u);
}

TEST(SshbufGetBignum2, PaddedFullSizeAccepted) {
  buf_ptr b = buf_with(mpint_wire(2049, 0x00));
  BIGNUM *v = nullptr;
  ASSERT_EQ(sshbuf_get_bignum2(b.get(), &v), 0);
  bn_ptr owned(v);
  EXPECT_EQ(BN_num_bytes(v), 2048);
  EXPECT_EQ(sshbuf_len(b.get()), 0u);

  // 2049 bytes of which many are leading zeros is still within bounds.
  Bytes w = mpint_wire(2049, 0x00);
  for (size_t i = 4; i < 4 + 2000; i++) w[i] = 0;
  buf_ptr padded = buf_with(w);
  ASSERT_EQ(sshbuf_get_bignum2(padded.get(), &v), 0);
  bn_ptr owned2(v);
  EXPECT_EQ(BN_num_bytes(v), 49);
}
