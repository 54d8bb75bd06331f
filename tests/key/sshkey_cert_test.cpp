// Certificates made by the independent generator: every CA family decodes
// and verifies; broken ones give their specific codes and no key.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "key/key_fixtures.h"
#include "key/sshkey-internal.h"
#include "log/ssherr.h"

namespace {

using vardek::test::Bytes;
using vardek::test::decode;
using vardek::test::operator+;
using vardek::test::encode;
using vardek::test::fixture;
using vardek::test::from_text;

struct GoodCert {
  const char *name;
  int type;
  int ca_type;
  const char *signature_type;
};

const GoodCert kGoodCerts[] = {
    {"cert_rsa_by_rsa_sha1", KEY_TYPE_RSA_CERT, KEY_TYPE_RSA, "ssh-rsa"},
    {"cert_rsa_by_rsa_sha256", KEY_TYPE_RSA_CERT, KEY_TYPE_RSA, "rsa-sha2-256"},
    {"cert_rsa_by_rsa_sha512", KEY_TYPE_RSA_CERT, KEY_TYPE_RSA, "rsa-sha2-512"},
    {"cert_ecdsa256_by_ecdsa384", KEY_TYPE_ECDSA_CERT, KEY_TYPE_ECDSA, "ecdsa-sha2-nistp384"},
    {"cert_ecdsa521_by_ecdsa256", KEY_TYPE_ECDSA_CERT, KEY_TYPE_ECDSA, "ecdsa-sha2-nistp256"},
    {"cert_ed25519_by_ed25519", KEY_TYPE_ED25519_CERT, KEY_TYPE_ED25519, "ssh-ed25519"},
    {"cert_dsa_by_dsa", KEY_TYPE_DSA_CERT, KEY_TYPE_DSA, "ssh-dss"},
    {"cert_ecdsa_sk_by_ed25519", KEY_TYPE_ECDSA_SK_CERT, KEY_TYPE_ED25519, "ssh-ed25519"},
    {"cert_ed25519_sk_by_rsa", KEY_TYPE_ED25519_SK_CERT, KEY_TYPE_RSA, "rsa-sha2-512"},
    {"cert_ed25519_by_ed25519_sk", KEY_TYPE_ED25519_CERT, KEY_TYPE_ED25519_SK,
     "sk-ssh-ed25519@" VARDEK_KEY_DOMAIN},
    {"cert_ecdsa384_by_ecdsa_sk", KEY_TYPE_ECDSA_CERT, KEY_TYPE_ECDSA_SK,
     "sk-ecdsa-sha2-nistp256@" VARDEK_KEY_DOMAIN},
    {"cert_rsa_by_dsa", KEY_TYPE_RSA_CERT, KEY_TYPE_DSA, "ssh-dss"},
};

TEST(SshkeyCert, EveryCaFamilyDecodesAndVerifies) {
  for (const auto &c : kGoodCerts) {
    SCOPED_TRACE(c.name);
    const Bytes &blob = fixture(c.name);
    auto d = decode(blob);
    ASSERT_EQ(d.r, 0);
    ASSERT_NE(d.key, nullptr);
    EXPECT_EQ(d.key->type, c.type);
    const sshkey_certificate *cert = d.key->cert;
    ASSERT_NE(cert, nullptr);
    EXPECT_EQ(cert->cert_type, 1u);
    EXPECT_EQ(cert->serial, 42u);
    EXPECT_STREQ(cert->key_id, "vardek test cert");
    ASSERT_EQ(cert->principal_count, 1u);
    EXPECT_STREQ(cert->principals[0], "alice");
    EXPECT_EQ(cert->valid_after, 0u);
    EXPECT_EQ(cert->valid_before, UINT64_MAX);
    EXPECT_EQ(sshbuf_len(cert->critical_options), 0u);
    // permit-pty with empty data
    Bytes ext(sshbuf_ptr(cert->extensions),
              sshbuf_ptr(cert->extensions) + sshbuf_len(cert->extensions));
    EXPECT_EQ(ext, vardek::test::str("permit-pty") + vardek::test::str(""));
    EXPECT_STREQ(cert->signature_type, c.signature_type);

    ASSERT_NE(cert->signature_key, nullptr);
    EXPECT_EQ(cert->signature_key->type, c.ca_type);
    auto ca = decode(fixture(std::string(c.name) + "_ca"));
    ASSERT_EQ(ca.r, 0);
    EXPECT_TRUE(sshkey_equal(cert->signature_key, ca.key.get()));

    // The stored blob goes out unchanged; the plain form is the subject key.
    EXPECT_EQ(encode(d.key.get()), blob);
    EXPECT_EQ(encode(d.key.get(), 1), fixture(std::string(c.name) + "_plain"));
    auto plain = decode(fixture(std::string(c.name) + "_plain"));
    ASSERT_EQ(plain.r, 0);
    EXPECT_FALSE(sshkey_equal(d.key.get(), plain.key.get()));
    auto again = decode(blob);
    ASSERT_EQ(again.r, 0);
    EXPECT_TRUE(sshkey_equal(d.key.get(), again.key.get()));
  }
}

TEST(SshkeyCert, AnyChangedByteOfTheSignatureIsRefused) {
  for (const auto &c : kGoodCerts) {
    SCOPED_TRACE(c.name);
    Bytes blob = fixture(c.name);
    // The last byte belongs to the signature value (or, for security-key
    // CAs, to the signed counter).
    blob.back() ^= 0x01;
    auto d = decode(blob);
    EXPECT_EQ(d.r, SSH_ERR_INCORRECT_SIGNATURE);
    EXPECT_EQ(d.key, nullptr);
  }
}

TEST(SshkeyCert, ChangedSignedFieldIsRefused) {
  Bytes blob = fixture("cert_ed25519_by_ed25519");
  // The byte before the principals: last byte of the key id "...cert".
  const Bytes id = from_text("vardek test cert");
  auto it = std::search(blob.begin(), blob.end(), id.begin(), id.end());
  ASSERT_NE(it, blob.end());
  *(it + static_cast<long>(id.size()) - 1) = 'x';
  EXPECT_EQ(decode(blob).r, SSH_ERR_INCORRECT_SIGNATURE);
}

TEST(SshkeyCert, RuleBreakingCertificates) {
  const struct {
    const char *name;
    int r;
  } cases[] = {
      {"cert_type3", SSH_ERR_UNSUPPORTED_CERT_TYPE},
      {"cert_257_principals", SSH_ERR_INVALID_FORMAT},
      {"cert_critical_no_data", SSH_ERR_INVALID_FORMAT},
      {"cert_extension_no_data", SSH_ERR_INVALID_FORMAT},
      {"cert_signed_by_cert", SSH_ERR_INVALID_CERT_SIGNER},
      {"cert_wrong_signer", SSH_ERR_INCORRECT_SIGNATURE},
  };
  for (const auto &c : cases) {
    auto d = decode(fixture(c.name));
    EXPECT_EQ(d.r, c.r) << c.name;
    EXPECT_EQ(d.key, nullptr) << c.name;
  }
}

TEST(SshkeyCert, LimitsAndOptionsThatPass) {
  auto many = decode(fixture("cert_256_principals"));
  ASSERT_EQ(many.r, 0);
  ASSERT_EQ(many.key->cert->principal_count, 256u);
  EXPECT_STREQ(many.key->cert->principals[0], "user0");
  EXPECT_STREQ(many.key->cert->principals[255], "user255");

  auto host = decode(fixture("cert_host"));
  ASSERT_EQ(host.r, 0);
  EXPECT_EQ(host.key->cert->cert_type, 2u);
  ASSERT_EQ(host.key->cert->principal_count, 1u);
  EXPECT_STREQ(host.key->cert->principals[0], "host.example");

  auto opts = decode(fixture("cert_with_options"));
  ASSERT_EQ(opts.r, 0);
  const sshbuf *crit = opts.key->cert->critical_options;
  EXPECT_EQ(Bytes(sshbuf_ptr(crit), sshbuf_ptr(crit) + sshbuf_len(crit)),
            fixture("cert_with_options_critical"));
  const sshbuf *ext = opts.key->cert->extensions;
  EXPECT_EQ(Bytes(sshbuf_ptr(ext), sshbuf_ptr(ext) + sshbuf_len(ext)),
            fixture("cert_with_options_extensions"));
}

TEST(SshkeyCert, TruncatedAndExtendedCertificates) {
  const Bytes &blob = fixture("cert_ecdsa_sk_by_ed25519");
  // Without its last byte the signature string is incomplete.
  auto cut = decode(Bytes(blob.begin(), blob.end() - 1));
  EXPECT_EQ(cut.r, SSH_ERR_INVALID_FORMAT);
  EXPECT_EQ(cut.key, nullptr);
  // Without the whole signature field.
  const Bytes &ed = fixture("cert_ed25519_by_ed25519");
  auto nosig = decode(Bytes(ed.begin(), ed.end() - 4 - 83));
  EXPECT_EQ(nosig.r, SSH_ERR_INVALID_FORMAT);
  // No nonce after the type name.
  EXPECT_EQ(decode(vardek::test::str("ssh-ed25519-cert-v01@" VARDEK_KEY_DOMAIN)).r,
            SSH_ERR_INVALID_FORMAT);
}

}  // namespace
