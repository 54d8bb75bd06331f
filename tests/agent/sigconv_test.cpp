// The agent's signature conversion on hand-made inputs: the cases a token
// produces too rarely for the end-to-end tests to meet them (a short RSA
// signature, r or s with the top bit set) and the blobs it must refuse.
#include "agent/sigconv.h"

#include <gtest/gtest.h>
#include <openssl/ecdsa.h>

#include "common/bytes.h"

namespace vardek::agent {
namespace {

using test::from_hex;
using test::from_text;

Bytes strings(std::initializer_list<Bytes> parts) {
  Bytes b;
  for (const Bytes &p : parts) put_string(b, p);
  return b;
}

TEST(AgentSigconv, KeyShapesOfBlobs) {
  Bytes modulus(257, 0xc5);
  modulus[0] = 0;  // 2048 bits, sign byte in front
  auto rsa = key_shape(strings({from_text("ssh-rsa"), from_hex("01 00 01"), modulus}));
  ASSERT_TRUE(rsa);
  EXPECT_EQ(rsa->kind, KeyKind::rsa);
  EXPECT_EQ(rsa->modulus_bytes, 256u);
  auto p384 =
      key_shape(strings({from_text("ecdsa-sha2-nistp384"), from_text("nistp384"), Bytes(97, 4)}));
  ASSERT_TRUE(p384);
  EXPECT_EQ(p384->md, EVP_sha384());

  const Bytes refused[] = {
      strings({from_text("ssh-rsa"), from_hex("01 00 01"), modulus, from_text("x")}),  // left over
      strings({from_text("ssh-rsa"), from_hex("01 00 01"), from_hex("80 01")}),        // negative
      strings({from_text("ecdsa-sha2-nistp256"), from_text("nistp384"), Bytes(97, 4)}),  // mismatch
      strings({from_text("ecdsa-sha2-nistp192"), from_text("nistp192"), Bytes(49, 4)}),  // curve
      strings({from_text("ssh-ed25519"), Bytes(32, 1)}),                                 // type
      from_hex("00 00 00 07 73 73 68"),  // cut short
  };
  for (const Bytes &b : refused) EXPECT_FALSE(key_shape(b)) << test::to_hex(b);
}

TEST(AgentSigconv, FlagsPickTheRsaAlgorithm) {
  KeyShape rsa{.kind = KeyKind::rsa, .type = "ssh-rsa", .modulus_bytes = 256, .md = nullptr};
  struct Case {
    uint32_t flags;
    const char *alg;
    size_t sent;  // DigestInfo prefix + hash
  } cases[] = {{0, "ssh-rsa", 15 + 20},
               {SIGN_FLAG_RSA_SHA2_256, "rsa-sha2-256", 19 + 32},
               {SIGN_FLAG_RSA_SHA2_512, "rsa-sha2-512", 19 + 64},
               {SIGN_FLAG_RSA_SHA2_256 | SIGN_FLAG_RSA_SHA2_512, "rsa-sha2-256", 19 + 32}};
  for (const Case &c : cases) {
    auto plan = plan_sign(rsa, from_text("data"), c.flags);
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->alg, c.alg);
    EXPECT_EQ(plan->to_send.size(), c.sent) << c.alg;
  }
}

TEST(AgentSigconv, RsaSignatureIsPaddedToTheModulus) {
  KeyShape rsa{.kind = KeyKind::rsa, .type = "ssh-rsa", .modulus_bytes = 4, .md = nullptr};
  SignPlan plan{.alg = "rsa-sha2-512", .to_send = {}};
  auto sig = ssh_signature(rsa, plan, from_hex("ab cd ef"));
  ASSERT_TRUE(sig);
  EXPECT_EQ(*sig, strings({from_text("rsa-sha2-512"), from_hex("00 ab cd ef")}));
  EXPECT_FALSE(ssh_signature(rsa, plan, from_hex("01 02 03 04 05")));
  EXPECT_FALSE(ssh_signature(rsa, plan, {}));
}

TEST(AgentSigconv, EcdsaDerBecomesTwoMpints) {
  KeyShape ec{.kind = KeyKind::ecdsa,
              .type = "ecdsa-sha2-nistp256",
              .modulus_bytes = 0,
              .md = EVP_sha256()};
  SignPlan plan{.alg = "ecdsa-sha2-nistp256", .to_send = {}};
  // r = 0x80ff (top bit set: the mpint needs a zero byte), s = 0x01
  Bytes der = from_hex("30 08 02 03 00 80 ff 02 01 01");
  auto sig = ssh_signature(ec, plan, der);
  ASSERT_TRUE(sig);
  EXPECT_EQ(*sig, strings({from_text("ecdsa-sha2-nistp256"),
                           strings({from_hex("00 80 ff"), from_hex("01")})}));
  Bytes trailing = der;
  trailing.push_back(0);
  EXPECT_FALSE(ssh_signature(ec, plan, trailing));
  EXPECT_FALSE(ssh_signature(ec, plan, from_hex("30 08 02 03 00 80")));
}

}  // namespace
}  // namespace vardek::agent
