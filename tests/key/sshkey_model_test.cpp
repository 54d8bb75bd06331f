#define OPENSSL_SUPPRESS_DEPRECATED
// The key model: type lookups by name and number, construction and release,
// equality, curve identification.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>
#include <openssl/rsa.h>

#include <cstring>

#include "key/key_fixtures.h"
#include "key/sshkey-internal.h"
#include "log/ssherr.h"
#include "util/ossl_legacy_ptr.h"
#include "util/ossl_ptr.h"

namespace {

using vardek::test::decode;
using vardek::test::operator+;
using vardek::test::fixture;

TEST(SshkeyNames, TypeByNameFollowsTableOrder) {
  const struct {
    const char *name;
    int type;
  } cases[] = {
      {"ssh-rsa", KEY_TYPE_RSA},
      {"RSA", KEY_TYPE_RSA},
      {"rsa", KEY_TYPE_RSA},
      {"rsa-sha2-256", KEY_TYPE_RSA},
      {"rsa-sha2-512", KEY_TYPE_RSA},
      {"ssh-dss", KEY_TYPE_DSA},
      {"dsa", KEY_TYPE_DSA},
      {"ED25519", KEY_TYPE_ED25519},
      {"ssh-ed25519", KEY_TYPE_ED25519},
      {"ecdsa-sha2-nistp256", KEY_TYPE_ECDSA},
      {"ecdsa-sha2-nistp384", KEY_TYPE_ECDSA},
      {"ecdsa-sha2-nistp521", KEY_TYPE_ECDSA},
      {"ecdsa", KEY_TYPE_ECDSA},
      {"ECDSA-SK", KEY_TYPE_ECDSA_SK},
      {"ed25519-sk", KEY_TYPE_ED25519_SK},
      {"NULL", KEY_TYPE_NULL},
      {"null", KEY_TYPE_NULL},
      // Certificate rows match by full name only.
      {"RSA-CERT", KEY_TYPE_UNSPECIFIED},
      {"ED25519-CERT", KEY_TYPE_UNSPECIFIED},
      {"", KEY_TYPE_UNSPECIFIED},
      {"ssh-rsa ", KEY_TYPE_UNSPECIFIED},
      {"SSH-RSA", KEY_TYPE_UNSPECIFIED},
      {"ssh-ed25519-cert-v01@" VARDEK_KEY_DOMAIN, KEY_TYPE_ED25519_CERT},
      {"sk-ssh-ed25519@" VARDEK_KEY_DOMAIN, KEY_TYPE_ED25519_SK},
      {"sk-ssh-ed25519-cert-v01@" VARDEK_KEY_DOMAIN, KEY_TYPE_ED25519_SK_CERT},
      {"ecdsa-sha2-nistp256-cert-v01@" VARDEK_KEY_DOMAIN, KEY_TYPE_ECDSA_CERT},
      {"ecdsa-sha2-nistp384-cert-v01@" VARDEK_KEY_DOMAIN, KEY_TYPE_ECDSA_CERT},
      {"ecdsa-sha2-nistp521-cert-v01@" VARDEK_KEY_DOMAIN, KEY_TYPE_ECDSA_CERT},
      {"sk-ecdsa-sha2-nistp256@" VARDEK_KEY_DOMAIN, KEY_TYPE_ECDSA_SK},
      {"sk-ecdsa-sha2-nistp256-cert-v01@" VARDEK_KEY_DOMAIN, KEY_TYPE_ECDSA_SK_CERT},
      {"webauthn-sk-ecdsa-sha2-nistp256@" VARDEK_KEY_DOMAIN, KEY_TYPE_ECDSA_SK},
      {"ssh-dss-cert-v01@" VARDEK_KEY_DOMAIN, KEY_TYPE_DSA_CERT},
      {"ssh-rsa-cert-v01@" VARDEK_KEY_DOMAIN, KEY_TYPE_RSA_CERT},
      {"rsa-sha2-256-cert-v01@" VARDEK_KEY_DOMAIN, KEY_TYPE_RSA_CERT},
      {"rsa-sha2-512-cert-v01@" VARDEK_KEY_DOMAIN, KEY_TYPE_RSA_CERT},
      {"ssh-rsa-cert-v01@example.com", KEY_TYPE_UNSPECIFIED},
  };
  for (const auto &c : cases) EXPECT_EQ(sshkey_type_by_name(c.name), c.type) << c.name;
}

TEST(SshkeyNames, NamesForTypesTakeTheFirstMatchingRow) {
  EXPECT_STREQ(sshkey_ssh_name_plain(KEY_TYPE_ECDSA_CERT, NID_secp384r1), "ecdsa-sha2-nistp384");
  EXPECT_STREQ(sshkey_ssh_name_plain(KEY_TYPE_RSA_CERT, 0), "ssh-rsa");
  EXPECT_STREQ(sshkey_ssh_name_plain(KEY_TYPE_ECDSA_SK, NID_X9_62_prime256v1),
               "sk-ecdsa-sha2-nistp256@" VARDEK_KEY_DOMAIN);
  EXPECT_STREQ(sshkey_ssh_name_plain(KEY_TYPE_ECDSA, 999), "ssh-unknown");
  EXPECT_STREQ(sshkey_name_for_type(KEY_TYPE_ECDSA_CERT, NID_secp521r1),
               "ecdsa-sha2-nistp521-cert-v01@" VARDEK_KEY_DOMAIN);
  EXPECT_STREQ(sshkey_name_for_type(KEY_TYPE_ED25519_SK_CERT, -1),
               "sk-ssh-ed25519-cert-v01@" VARDEK_KEY_DOMAIN);
  EXPECT_STREQ(sshkey_name_for_type(8, 0), "ssh-unknown");
  EXPECT_STREQ(sshkey_name_for_type(KEY_TYPE_UNSPECIFIED, 0), "ssh-unknown");

  const int plain[][2] = {{4, 0}, {5, 1},   {6, 2},   {7, 3},   {11, 10}, {13, 12},
                          {0, 0}, {10, 10}, {14, 14}, {15, 15}, {8, 8},   {-1, -1}};
  for (const auto &p : plain) EXPECT_EQ(sshkey_plain_type(p[0]), p[1]) << p[0];
}

TEST(SshkeyNames, CertTypesAndInfoLookups) {
  for (int t : {4, 5, 6, 7, 11, 13}) EXPECT_TRUE(sshkey_is_cert_type(t)) << t;
  for (int t : {-1, 0, 1, 2, 3, 8, 9, 10, 12, 14, 15, 16})
    EXPECT_FALSE(sshkey_is_cert_type(t)) << t;
  EXPECT_EQ(sshkey_type_info_for(8), nullptr);
  EXPECT_EQ(sshkey_type_info_for(KEY_TYPE_UNSPECIFIED), nullptr);
  ASSERT_NE(sshkey_type_info_for(KEY_TYPE_RSA_CERT), nullptr);
  EXPECT_STREQ(sshkey_type_info_for(KEY_TYPE_RSA_CERT)->name,
               "ssh-rsa-cert-v01@" VARDEK_KEY_DOMAIN);
  ASSERT_NE(sshkey_type_info_for(KEY_TYPE_ECDSA_SK), nullptr);
  EXPECT_EQ(sshkey_type_info_for(KEY_TYPE_ECDSA_SK)->sig_only, 0);

  // The two RSA certificate rows that imply a signature algorithm.
  size_t n = 0;
  const sshkey_type_info *rows = sshkey_type_table(&n);
  ASSERT_EQ(n, 22u);
  int implied = 0;
  for (size_t i = 0; i < n; i++) {
    if (rows[i].cert_sig_alg == nullptr) continue;
    implied++;
    EXPECT_EQ(std::strncmp(rows[i].name, rows[i].cert_sig_alg, std::strlen(rows[i].cert_sig_alg)),
              0);
  }
  EXPECT_EQ(implied, 2);
  EXPECT_STREQ(rows[21].name, "null");
  EXPECT_STREQ(rows[0].name, "ssh-ed25519");
}

TEST(SshkeyNames, ShortNames) {
  EXPECT_STREQ(sshkey_short_name(nullptr), "unknown");
  vardek::unique_ptr<sshkey> ec(sshkey_new(KEY_TYPE_ECDSA));
  ASSERT_NE(ec, nullptr);
  EXPECT_STREQ(sshkey_short_name(ec.get()), "unknown");  // ecdsa_nid -1
  ec->ecdsa_nid = NID_secp384r1;
  EXPECT_STREQ(sshkey_short_name(ec.get()), "ECDSA");
  ec->ecdsa_nid = 999;
  EXPECT_STREQ(sshkey_short_name(ec.get()), "unknown");

  const struct {
    const char *fixture;
    const char *short_name;
  } cases[] = {
      {"key_rsa2048", "RSA"},
      {"key_dsa", "DSA"},
      {"key_ecdsa_nistp521", "ECDSA"},
      {"key_ed25519", "ED25519"},
      {"key_ecdsa_sk", "ECDSA-SK"},
      {"key_ed25519_sk", "ED25519-SK"},
      {"cert_rsa_by_rsa_sha512", "RSA-CERT"},
      {"cert_ecdsa256_by_ecdsa384", "ECDSA-CERT"},
      {"cert_ecdsa_sk_by_ed25519", "ECDSA-SK-CERT"},
      {"cert_ed25519_sk_by_rsa", "ED25519-SK-CERT"},
      {"cert_dsa_by_dsa", "DSA-CERT"},
      {"cert_ed25519_by_ed25519", "ED25519-CERT"},
  };
  for (const auto &c : cases) {
    auto d = decode(fixture(c.fixture));
    ASSERT_EQ(d.r, 0) << c.fixture;
    EXPECT_STREQ(sshkey_short_name(d.key.get()), c.short_name) << c.fixture;
  }
  vardek::unique_ptr<sshkey> unspecified(sshkey_new(KEY_TYPE_UNSPECIFIED));
  EXPECT_STREQ(sshkey_short_name(unspecified.get()), "unknown");
}

TEST(SshkeyNew, TypesWithoutRowsGiveNothing) {
  for (int t : {8, 9, 16, -1, 1000}) EXPECT_EQ(sshkey_new(t), nullptr) << t;
  sshkey_free(nullptr);  // must be harmless
}

TEST(SshkeyNew, FreshKeysHoldWhatTheirFamilyAllocates) {
  vardek::unique_ptr<sshkey> k(sshkey_new(KEY_TYPE_UNSPECIFIED));
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(k->type, KEY_TYPE_UNSPECIFIED);
  EXPECT_EQ(k->ecdsa_nid, -1);
  EXPECT_EQ(k->cert, nullptr);
  EXPECT_EQ(k->rsa, nullptr);

  k.reset(sshkey_new(KEY_TYPE_RSA_CERT));
  ASSERT_NE(k, nullptr);
  EXPECT_NE(k->rsa, nullptr);
  ASSERT_NE(k->cert, nullptr);
  for (sshbuf *b : {k->cert->cert_blob, k->cert->critical_options, k->cert->extensions}) {
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(sshbuf_len(b), 0u);
  }
  EXPECT_EQ(k->cert->signature_key, nullptr);
  EXPECT_EQ(k->cert->principal_count, 0u);

  k.reset(sshkey_new(KEY_TYPE_DSA));
  ASSERT_NE(k, nullptr);
  EXPECT_NE(k->dsa, nullptr);
  EXPECT_EQ(k->cert, nullptr);
  EXPECT_EQ(k->ecdsa_nid, -1);

  for (int t :
       {KEY_TYPE_ECDSA, KEY_TYPE_ED25519, KEY_TYPE_ECDSA_SK, KEY_TYPE_ED25519_SK, KEY_TYPE_NULL}) {
    k.reset(sshkey_new(t));
    ASSERT_NE(k, nullptr) << t;
    EXPECT_EQ(k->type, t);
    EXPECT_EQ(k->ecdsa, nullptr);
    EXPECT_EQ(k->ed25519_public, nullptr);
    EXPECT_EQ(k->cert, nullptr);
  }
  k.reset(sshkey_new(KEY_TYPE_ED25519_SK_CERT));
  ASSERT_NE(k, nullptr);
  EXPECT_NE(k->cert, nullptr);
}

TEST(SshkeyFree, ReleasesEverythingAKeyOwns) {
  // Under the leak checker: secret areas, sk parts and a token-style key
  // filled by hand are all released.
  sshkey *k = sshkey_new(KEY_TYPE_ED25519_SK);
  ASSERT_NE(k, nullptr);
  k->ed25519_public = static_cast<unsigned char *>(calloc(1, ED25519_PK_SZ));
  k->ed25519_secret = static_cast<unsigned char *>(calloc(1, ED25519_SK_SZ));
  k->sk_application = strdup("ssh:");
  k->sk_key_handle = sshbuf_new();
  k->sk_reserved = sshbuf_new();
  k->secret_area = static_cast<unsigned char *>(malloc(16));
  k->secret_area_len = 16;
  k->secret_area_key = static_cast<unsigned char *>(malloc(8));
  k->secret_area_key_len = 8;
  sshkey_free(k);

  k = sshkey_new(KEY_TYPE_UNSPECIFIED);
  ASSERT_NE(k, nullptr);
  k->type = KEY_TYPE_ECDSA;
  k->ecdsa = EC_KEY_new_by_curve_name(NID_X9_62_prime256v1);
  k->ecdsa_nid = NID_X9_62_prime256v1;
  k->flags |= KEY_FLAG_ON_TOKEN;
  sshkey_free(k);
}

// Two keys with the same RSA public part but their own handles.
vardek::unique_ptr<sshkey> rsa_key(const BIGNUM *n, const BIGNUM *e, int type = KEY_TYPE_RSA) {
  vardek::unique_ptr<sshkey> k(sshkey_new(type));
  RSA_set0_key(k->rsa, BN_dup(n), BN_dup(e), nullptr);
  return k;
}

TEST(SshkeyEqual, RsaComparesExponentAndModulus) {
  vardek::unique_ptr<BIGNUM> n(BN_new()), e3(BN_new()), e65537(BN_new());
  BN_set_word(e3.get(), 3);
  BN_set_word(e65537.get(), 65537);
  BN_set_bit(n.get(), 1023);
  BN_set_bit(n.get(), 0);
  auto a = rsa_key(n.get(), e65537.get());
  auto b = rsa_key(n.get(), e65537.get());
  auto c = rsa_key(n.get(), e3.get());
  auto cert = rsa_key(n.get(), e65537.get(), KEY_TYPE_RSA_CERT);
  EXPECT_TRUE(sshkey_equal(a.get(), b.get()));
  EXPECT_FALSE(sshkey_equal(a.get(), c.get()));
  EXPECT_FALSE(sshkey_equal(a.get(), cert.get()));
  EXPECT_FALSE(sshkey_equal(cert.get(), a.get()));
  EXPECT_FALSE(sshkey_equal(a.get(), nullptr));
  EXPECT_FALSE(sshkey_equal(nullptr, a.get()));
  EXPECT_FALSE(sshkey_equal(nullptr, nullptr));
  vardek::unique_ptr<sshkey> empty(sshkey_new(KEY_TYPE_RSA));
  EXPECT_FALSE(sshkey_equal(empty.get(), empty.get()));
}

TEST(SshkeyEqual, EcdsaIgnoresTheNidField) {
  auto a = decode(fixture("key_ecdsa_nistp384"));
  auto b = decode(fixture("key_ecdsa_nistp384"));
  ASSERT_EQ(a.r, 0);
  ASSERT_EQ(b.r, 0);
  b.key->ecdsa_nid = -1;
  EXPECT_TRUE(sshkey_equal(a.key.get(), b.key.get()));
  auto other = decode(fixture("key_ecdsa_nistp256"));
  ASSERT_EQ(other.r, 0);
  EXPECT_FALSE(sshkey_equal(a.key.get(), other.key.get()));
  EXPECT_FALSE(sshkey_equal(other.key.get(), a.key.get()));
}

// An ECDSA key holding a copy of `point` on `group`.
vardek::unique_ptr<sshkey> ec_key(const EC_GROUP *group, const EC_POINT *point) {
  vardek::unique_ptr<sshkey> k(sshkey_new(KEY_TYPE_ECDSA));
  k->ecdsa = EC_KEY_new();
  k->ecdsa_nid = EC_GROUP_get_curve_name(group);
  EXPECT_EQ(EC_KEY_set_group(k->ecdsa, group), 1);
  EXPECT_EQ(EC_KEY_set_public_key(k->ecdsa, point), 1);
  return k;
}

// Equal exactly when the curve and the point are: the same point, another
// point on the curve, a point of another curve; comparing never leaves an
// error behind.
TEST(SshkeyEqual, EcdsaComparesCurveAndPoint) {
  vardek::unique_ptr<EC_GROUP> p256(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
  vardek::unique_ptr<EC_GROUP> p384(EC_GROUP_new_by_curve_name(NID_secp384r1));
  const EC_POINT *g = EC_GROUP_get0_generator(p256.get());
  vardek::unique_ptr<EC_POINT> g2(EC_POINT_new(p256.get()));
  ASSERT_EQ(EC_POINT_dbl(p256.get(), g2.get(), g, nullptr), 1);

  auto g_key = ec_key(p256.get(), g);
  auto g_again = ec_key(p256.get(), g);
  auto g2_key = ec_key(p256.get(), g2.get());
  auto other_curve = ec_key(p384.get(), EC_GROUP_get0_generator(p384.get()));
  ERR_clear_error();
  EXPECT_TRUE(sshkey_equal(g_key.get(), g_again.get()));
  EXPECT_FALSE(sshkey_equal(g_key.get(), g2_key.get()));
  EXPECT_FALSE(sshkey_equal(g2_key.get(), g_key.get()));
  EXPECT_FALSE(sshkey_equal(g_key.get(), other_curve.get()));
  EXPECT_FALSE(sshkey_equal(other_curve.get(), g_key.get()));
  EXPECT_EQ(ERR_peek_error(), 0UL);
}

TEST(SshkeyEqual, DsaAndEd25519) {
  auto a = decode(fixture("key_dsa"));
  auto b = decode(fixture("key_dsa"));
  auto ed = decode(fixture("key_ed25519"));
  auto ed2 = decode(fixture("key_ed25519"));
  ASSERT_EQ(a.r | b.r | ed.r | ed2.r, 0);
  EXPECT_TRUE(sshkey_equal(a.key.get(), b.key.get()));
  EXPECT_FALSE(sshkey_equal(a.key.get(), ed.key.get()));
  EXPECT_TRUE(sshkey_equal(ed.key.get(), ed2.key.get()));
  ed2.key->ed25519_public[31] ^= 1;
  EXPECT_FALSE(sshkey_equal(ed.key.get(), ed2.key.get()));
}

TEST(SshkeyEqual, SecurityKeysCompareTheApplication) {
  for (const char *name : {"key_ecdsa_sk", "key_ed25519_sk"}) {
    auto a = decode(fixture(name));
    auto b = decode(fixture(name));
    ASSERT_EQ(a.r | b.r, 0) << name;
    EXPECT_TRUE(sshkey_equal(a.key.get(), b.key.get())) << name;
    b.key->sk_application[0] ^= 1;
    EXPECT_FALSE(sshkey_equal(a.key.get(), b.key.get())) << name;
    free(b.key->sk_application);
    b.key->sk_application = nullptr;
    EXPECT_FALSE(sshkey_equal(a.key.get(), b.key.get())) << name;
    EXPECT_FALSE(sshkey_equal(b.key.get(), b.key.get())) << name;
  }
}

TEST(SshkeyEqual, CertificatesCompareTheWholeBlob) {
  auto a = decode(fixture("cert_ed25519_by_ed25519"));
  auto b = decode(fixture("cert_ed25519_by_ed25519"));
  ASSERT_EQ(a.r | b.r, 0);
  EXPECT_TRUE(sshkey_equal(a.key.get(), b.key.get()));
  // One byte of the stored blob differs (the nonce): not the same cert.
  sshbuf *blob = b.key->cert->cert_blob;
  vardek::test::Bytes copy(sshbuf_ptr(blob), sshbuf_ptr(blob) + sshbuf_len(blob));
  copy[40] ^= 0x01;
  sshbuf_reset(blob);
  ASSERT_EQ(sshbuf_put(blob, copy.data(), copy.size()), 0);
  EXPECT_FALSE(sshkey_equal(a.key.get(), b.key.get()));
  // Same public key, different certificate length.
  ASSERT_EQ(sshbuf_put_u8(blob, 0), 0);
  EXPECT_FALSE(sshkey_equal(a.key.get(), b.key.get()));
  // Only one side has a certificate record.
  cert_free(b.key->cert);
  b.key->cert = nullptr;
  EXPECT_FALSE(sshkey_equal(a.key.get(), b.key.get()));
  EXPECT_FALSE(sshkey_equal(b.key.get(), a.key.get()));
  // Neither has one: the public parts decide.
  cert_free(a.key->cert);
  a.key->cert = nullptr;
  EXPECT_TRUE(sshkey_equal(a.key.get(), b.key.get()));

  // A certificate key never equals its plain key.
  auto plain = decode(fixture("key_ed25519"));
  auto cert = decode(fixture("cert_ed25519_by_ed25519"));
  ASSERT_EQ(plain.r | cert.r, 0);
  EXPECT_FALSE(sshkey_equal(plain.key.get(), cert.key.get()));
}

TEST(SshkeyEqual, NullKeysAreNeverEqual) {
  vardek::unique_ptr<sshkey> a(sshkey_new(KEY_TYPE_NULL)), b(sshkey_new(KEY_TYPE_NULL));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(sshkey_equal(a.get(), b.get()), 0);
}

// A group with the curve's parameters but no name, as a token may hand out.
vardek::unique_ptr<EC_GROUP> explicit_group(int nid) {
  vardek::unique_ptr<EC_GROUP> named(EC_GROUP_new_by_curve_name(nid));
  vardek::unique_ptr<BIGNUM> p(BN_new()), a(BN_new()), b(BN_new());
  EC_GROUP_get_curve(named.get(), p.get(), a.get(), b.get(), nullptr);
  vardek::unique_ptr<EC_GROUP> g(EC_GROUP_new_curve_GFp(p.get(), a.get(), b.get(), nullptr));
  EC_GROUP_set_generator(g.get(), EC_GROUP_get0_generator(named.get()),
                         EC_GROUP_get0_order(named.get()), EC_GROUP_get0_cofactor(named.get()));
  return g;
}

TEST(SshkeyEcdsaKeyToNid, NamesExplicitNistCurves) {
  vardek::unique_ptr<EC_KEY> k(EC_KEY_new());
  auto g = explicit_group(NID_secp384r1);
  ASSERT_NE(g, nullptr);
  ASSERT_EQ(EC_GROUP_get_curve_name(g.get()), NID_undef);
  ASSERT_EQ(EC_KEY_set_group(k.get(), g.get()), 1);
  EXPECT_EQ(sshkey_ecdsa_key_to_nid(k.get()), NID_secp384r1);
  EXPECT_EQ(EC_GROUP_get_curve_name(EC_KEY_get0_group(k.get())), NID_secp384r1);
  EXPECT_EQ(EC_GROUP_get_asn1_flag(EC_KEY_get0_group(k.get())), OPENSSL_EC_NAMED_CURVE);

  // Explicit parameters of a curve outside the three.
  vardek::unique_ptr<EC_KEY> other(EC_KEY_new());
  auto g224 = explicit_group(NID_secp224r1);
  ASSERT_EQ(EC_KEY_set_group(other.get(), g224.get()), 1);
  EXPECT_EQ(sshkey_ecdsa_key_to_nid(other.get()), -1);

  // A named curve passes with its name, whatever it is.
  vardek::unique_ptr<EC_KEY> named(EC_KEY_new_by_curve_name(NID_secp224r1));
  EXPECT_EQ(sshkey_ecdsa_key_to_nid(named.get()), NID_secp224r1);
  named.reset(EC_KEY_new_by_curve_name(NID_secp521r1));
  EXPECT_EQ(sshkey_ecdsa_key_to_nid(named.get()), NID_secp521r1);
}

}  // namespace
