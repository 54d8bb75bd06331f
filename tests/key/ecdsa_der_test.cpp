// sshkey_ecdsa_sig_to_der must write exactly what i2d_ECDSA_SIG writes: the
// signature bytes a sign request returns depend on it. Checked for values at
// every boundary of the DER integer encoding (top bit set or not, leading
// zero bytes, short and long sequence lengths) and for random values of
// every curve's size.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/rand.h>

#include <string>
#include <vector>

#include "key/sshkey.h"
#include "util/ossl_ptr.h"

namespace {

std::vector<unsigned char> reference(const ECDSA_SIG *sig) {
  int n = i2d_ECDSA_SIG(sig, nullptr);
  if (n <= 0) return {};
  std::vector<unsigned char> out(static_cast<size_t>(n));
  unsigned char *p = out.data();
  i2d_ECDSA_SIG(sig, &p);
  return out;
}

// A number of `bytes` bytes whose first byte is `top` and the rest `fill`.
BIGNUM *number(size_t bytes, unsigned char top, unsigned char fill) {
  std::vector<unsigned char> b(bytes, fill);
  if (!b.empty()) b[0] = top;
  return BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr);
}

TEST(EcdsaDer, SameBytesAsLibcrypto) {
  std::vector<std::pair<BIGNUM *, std::string>> values;
  for (size_t bytes : {1, 2, 31, 32, 33, 47, 48, 49, 63, 64, 65, 66, 67}) {
    for (unsigned char top : {0x00, 0x01, 0x7f, 0x80, 0xff}) {
      values.emplace_back(number(bytes, top, 0xa5),
                          std::to_string(bytes) + "/" + std::to_string(top));
    }
  }
  for (int bits : {256, 384, 521, 255, 520}) {
    for (int i = 0; i < 20; i++) {
      BIGNUM *v = BN_new();
      ASSERT_EQ(BN_rand(v, bits, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY), 1);
      values.emplace_back(v, "random " + std::to_string(bits));
    }
  }
  values.emplace_back(BN_new(), "zero");
  for (const auto &[r, rname] : values) {
    for (const auto &[s, sname] : values) {
      vardek::unique_ptr<ECDSA_SIG> sig(ECDSA_SIG_new());
      ASSERT_TRUE(sig);
      ASSERT_EQ(ECDSA_SIG_set0(sig.get(), BN_dup(r), BN_dup(s)), 1);
      std::vector<unsigned char> want = reference(sig.get());
      ASSERT_FALSE(want.empty());
      std::vector<unsigned char> got(want.size() + 8, 0xee);
      size_t n = sshkey_ecdsa_sig_to_der(sig.get(), got.data(), got.size());
      got.resize(n);
      ASSERT_EQ(got, want) << "r " << rname << ", s " << sname;
      // Exactly the room it needs is enough; one byte less is refused.
      EXPECT_EQ(sshkey_ecdsa_sig_to_der(sig.get(), got.data(), want.size()), want.size());
      EXPECT_EQ(sshkey_ecdsa_sig_to_der(sig.get(), got.data(), want.size() - 1), 0u);
    }
  }
  for (auto &v : values) BN_free(v.first);
}

}  // namespace
