#define OPENSSL_SUPPRESS_DEPRECATED
// Public key blobs: byte-exact round trips against an independent encoder,
// the decoder's answers to malformed blobs, and fingerprints.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <cstring>
#include <string>

#include "key/key_fixtures.h"
#include "key/sshkey-internal.h"
#include "log/ssherr.h"
#include "util/ossl_legacy_ptr.h"
#include "util/ossl_ptr.h"

namespace {

using vardek::test::Bytes;
using vardek::test::decode;
using vardek::test::operator+;
using vardek::test::encode;
using vardek::test::fixture;
using vardek::test::from_text;
using vardek::test::split_strings;
using vardek::test::str;
using vardek::test::u32;

const char *const kPlainKeys[] = {
    "rsa1024",        "rsa2048",        "rsa4096", "dsa",      "ecdsa_nistp256",
    "ecdsa_nistp384", "ecdsa_nistp521", "ed25519", "ecdsa_sk", "ed25519_sk",
};

TEST(SshkeyBlob, PlainKeysRoundTripByteForByte) {
  for (const char *name : kPlainKeys) {
    const Bytes &blob = fixture(std::string("key_") + name);
    auto d = decode(blob, 0);
    ASSERT_EQ(d.r, 0) << name;
    ASSERT_NE(d.key, nullptr);
    EXPECT_EQ(d.left, 0u);
    EXPECT_EQ(vardek::test::to_hex(encode(d.key.get())), vardek::test::to_hex(blob)) << name;
    EXPECT_EQ(encode(d.key.get(), 1), blob) << name;
    auto again = decode(encode(d.key.get()));
    ASSERT_EQ(again.r, 0) << name;
    EXPECT_TRUE(sshkey_equal(d.key.get(), again.key.get())) << name;
  }
}

TEST(SshkeyBlob, DecodedFieldsMatchTheFamily) {
  auto ec = decode(fixture("key_ecdsa_nistp384"));
  ASSERT_EQ(ec.r, 0);
  EXPECT_EQ(ec.key->type, KEY_TYPE_ECDSA);
  EXPECT_EQ(ec.key->ecdsa_nid, NID_secp384r1);
  // ecdsa-sha2-nistp384, nistp384, a 97-byte point
  auto f = split_strings(encode(ec.key.get()), 3);
  EXPECT_EQ(f.strings[0], from_text("ecdsa-sha2-nistp384"));
  EXPECT_EQ(f.strings[1], from_text("nistp384"));
  EXPECT_EQ(f.strings[2].size(), 97u);
  EXPECT_EQ(f.strings[2][0], 0x04);
  EXPECT_TRUE(f.rest.empty());

  auto p521 = decode(fixture("key_ecdsa_nistp521"));
  ASSERT_EQ(p521.r, 0);
  EXPECT_EQ(split_strings(encode(p521.key.get()), 3).strings[2].size(), 133u);

  auto sk = decode(fixture("key_ecdsa_sk"));
  ASSERT_EQ(sk.r, 0);
  EXPECT_EQ(sk.key->type, KEY_TYPE_ECDSA_SK);
  EXPECT_EQ(sk.key->ecdsa_nid, NID_X9_62_prime256v1);
  EXPECT_STREQ(sk.key->sk_application, "ssh:vardek");

  auto edsk = decode(fixture("key_ed25519_sk"));
  ASSERT_EQ(edsk.r, 0);
  EXPECT_EQ(edsk.key->type, KEY_TYPE_ED25519_SK);
  EXPECT_STREQ(edsk.key->sk_application, "ssh:vardek");
}

TEST(SshkeyBlob, RsaLengthLimit) {
  auto small = decode(fixture("key_rsa1023"));
  EXPECT_EQ(small.r, SSH_ERR_INVALID_KEY_LENGTH);
  EXPECT_EQ(small.key, nullptr);
  auto ok = decode(fixture("key_rsa1024"));
  EXPECT_EQ(ok.r, 0);
  EXPECT_EQ(sshkey_check_rsa_length(ok.key.get()), 0);
  // Other types and keys without a handle pass.
  auto ed = decode(fixture("key_ed25519"));
  EXPECT_EQ(sshkey_check_rsa_length(ed.key.get()), 0);
  vardek::unique_ptr<sshkey> empty(sshkey_new(KEY_TYPE_RSA));
  EXPECT_EQ(sshkey_check_rsa_length(empty.get()), SSH_ERR_INVALID_KEY_LENGTH);
}

TEST(SshkeyBlob, RsaShortAndSignatureNamesDecodeAsSshRsa) {
  const Bytes &blob = fixture("key_rsa2048");
  auto f = split_strings(blob, 1);
  auto ref = decode(blob);
  ASSERT_EQ(ref.r, 0);
  for (const char *name : {"rsa", "RSA", "rsa-sha2-256", "rsa-sha2-512"}) {
    auto d = decode(str(name) + f.rest);
    ASSERT_EQ(d.r, 0) << name;
    EXPECT_EQ(d.key->type, KEY_TYPE_RSA);
    EXPECT_TRUE(sshkey_equal(ref.key.get(), d.key.get())) << name;
    EXPECT_EQ(encode(d.key.get()), blob) << name;
  }
}

TEST(SshkeyBlob, MalformedTypeNames) {
  EXPECT_EQ(decode(Bytes{}).r, SSH_ERR_INVALID_FORMAT);
  EXPECT_EQ(decode("00 00 00"_hex).r, SSH_ERR_INVALID_FORMAT);
  EXPECT_EQ(decode("00 00 00 05 73 73 68 2d"_hex).r, SSH_ERR_INVALID_FORMAT);
  // A NUL inside the name.
  EXPECT_EQ(decode(str(Bytes{'s', 's', 'h', 0, 'r'})).r, SSH_ERR_INVALID_FORMAT);
  EXPECT_EQ(decode(str("ssh-foo")).r, SSH_ERR_UNSUPPORTED_KEY_TYPE);
  EXPECT_EQ(decode(str("RSA-CERT")).r, SSH_ERR_UNSUPPORTED_KEY_TYPE);
  EXPECT_EQ(decode(str("null")).r, SSH_ERR_UNSUPPORTED_FEATURE);
  EXPECT_EQ(decode(str("NULL") + str("x")).r, SSH_ERR_UNSUPPORTED_FEATURE);
}

TEST(SshkeyBlob, TrailingByteIsInvalidFormat) {
  std::vector<std::string> names;
  for (const char *n : kPlainKeys) names.push_back(std::string("key_") + n);
  names.push_back("cert_rsa_by_rsa_sha256");
  names.push_back("cert_ecdsa_sk_by_ed25519");
  for (const auto &name : names) {
    Bytes blob = fixture(name);
    blob.push_back(0);
    auto d = decode(blob);
    EXPECT_EQ(d.r, SSH_ERR_INVALID_FORMAT) << name;
    EXPECT_EQ(d.key, nullptr) << name;
  }
}

TEST(SshkeyBlob, TruncatedBlobsNeverDecode) {
  // Every proper prefix of every blob is refused, and nothing leaks.
  for (const char *name : {"key_rsa1024", "key_dsa", "key_ecdsa_nistp256", "key_ed25519",
                           "key_ecdsa_sk", "key_ed25519_sk", "cert_ed25519_by_ed25519"}) {
    const Bytes &blob = fixture(name);
    for (size_t n = 0; n < blob.size(); n++) {
      auto d = decode(Bytes(blob.begin(), blob.begin() + static_cast<long>(n)));
      EXPECT_NE(d.r, 0) << name << " " << n;
      EXPECT_EQ(d.key, nullptr);
    }
  }
}

Bytes ec_blob(const char *type, const char *curve, const Bytes &point) {
  return str(type) + str(curve) + str(point);
}

TEST(SshkeyBlob, EcdsaCurveAndPointChecks) {
  auto f = split_strings(fixture("key_ecdsa_nistp256"), 3);
  const Bytes &point = f.strings[2];
  EXPECT_EQ(decode(ec_blob("ecdsa-sha2-nistp256", "nistp256", point)).r, 0);
  EXPECT_EQ(decode(ec_blob("ecdsa-sha2-nistp256", "nistp384", point)).r, SSH_ERR_CURVE_DIFFERS);
  EXPECT_EQ(decode(ec_blob("ecdsa-sha2-nistp256", "nistp999", point)).r, SSH_ERR_CURVE_DIFFERS);
  EXPECT_EQ(decode(ec_blob("ecdsa-sha2-nistp384", "nistp384", point)).r, SSH_ERR_INVALID_FORMAT);
  // Short names do not name a curve.
  EXPECT_EQ(decode(ec_blob("ECDSA", "nistp256", point)).r, SSH_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(decode(ec_blob("ecdsa-sk", "nistp256", point)).r, SSH_ERR_INVALID_ARGUMENT);

  EXPECT_EQ(decode(ec_blob("ecdsa-sha2-nistp256", "nistp256", Bytes(134, 4))).r,
            SSH_ERR_EC_POINT_TOO_LARGE);
  EXPECT_EQ(decode(ec_blob("ecdsa-sha2-nistp256", "nistp256", Bytes{})).r,
            SSH_ERR_EC_POINT_TOO_LARGE);
  Bytes compressed(point.begin(), point.begin() + 33);
  compressed[0] = static_cast<uint8_t>(0x02 + (point.back() & 1));
  EXPECT_EQ(decode(ec_blob("ecdsa-sha2-nistp256", "nistp256", compressed)).r,
            SSH_ERR_INVALID_FORMAT);
  EXPECT_EQ(decode(ec_blob("ecdsa-sha2-nistp256", "nistp256", Bytes{0})).r, SSH_ERR_INVALID_FORMAT);
  // A point off the curve.
  Bytes off = point;
  off[64] ^= 1;
  EXPECT_EQ(decode(ec_blob("ecdsa-sha2-nistp256", "nistp256", off)).r, SSH_ERR_INVALID_FORMAT);
  // The point string is cut short.
  Bytes cut = str("ecdsa-sha2-nistp256") + str("nistp256") + u32(65) + Bytes(10, 4);
  EXPECT_EQ(decode(cut).r, SSH_ERR_INCOMPLETE_MESSAGE);
  // No curve string at all.
  EXPECT_EQ(decode(str("ecdsa-sha2-nistp256")).r, SSH_ERR_INCOMPLETE_MESSAGE);
}

TEST(SshkeyBlob, EcdsaPointWithSmallCoordinateIsRefused) {
  // A genuine curve point whose x is tiny fails the coordinate size check.
  vardek::unique_ptr<EC_GROUP> g(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
  vardek::unique_ptr<EC_POINT> pt(EC_POINT_new(g.get()));
  vardek::unique_ptr<BIGNUM> x(BN_new());
  bool found = false;
  for (unsigned long v = 1; v < 200 && !found; v++) {
    BN_set_word(x.get(), v);
    found = EC_POINT_set_compressed_coordinates(g.get(), pt.get(), x.get(), 0, nullptr) == 1;
  }
  ASSERT_TRUE(found);
  unsigned char buf[65];
  ASSERT_EQ(EC_POINT_point2oct(g.get(), pt.get(), POINT_CONVERSION_UNCOMPRESSED, buf, sizeof buf,
                               nullptr),
            65u);
  auto d = decode(ec_blob("ecdsa-sha2-nistp256", "nistp256", Bytes(buf, buf + 65)));
  EXPECT_EQ(d.r, SSH_ERR_INVALID_CURVE_VALUE);
  EXPECT_EQ(d.key, nullptr);
  EXPECT_EQ(sshkey_ec_validate_public(g.get(), pt.get()), SSH_ERR_INVALID_CURVE_VALUE);
  EXPECT_EQ(sshkey_ec_validate_public(g.get(), EC_GROUP_get0_generator(g.get())), 0);
  vardek::unique_ptr<EC_POINT> inf(EC_POINT_new(g.get()));
  EC_POINT_set_to_infinity(g.get(), inf.get());
  EXPECT_EQ(sshkey_ec_validate_public(g.get(), inf.get()), SSH_ERR_INVALID_CURVE_VALUE);
}

TEST(SshkeyBlob, Ed25519KeyLength) {
  auto f = split_strings(fixture("key_ed25519"), 2);
  Bytes pk = f.strings[1];
  EXPECT_EQ(decode(str("ssh-ed25519") + str(pk)).r, 0);
  Bytes shorter(pk.begin(), pk.end() - 1), longer = pk;
  longer.push_back(0);
  EXPECT_EQ(decode(str("ssh-ed25519") + str(shorter)).r, SSH_ERR_INVALID_FORMAT);
  EXPECT_EQ(decode(str("ssh-ed25519") + str(longer)).r, SSH_ERR_INVALID_FORMAT);
  EXPECT_EQ(decode(str("ed25519") + str(pk)).r, 0);

  // The security-key form needs its application text.
  const char *sk = "sk-ssh-ed25519@" VARDEK_KEY_DOMAIN;
  EXPECT_EQ(decode(str(sk) + str(pk)).r, SSH_ERR_INVALID_FORMAT);
  auto ok = decode(str(sk) + str(pk) + str(""));
  ASSERT_EQ(ok.r, 0);
  EXPECT_STREQ(ok.key->sk_application, "");
  auto ecsk = split_strings(fixture("key_ecdsa_sk"), 3);
  EXPECT_EQ(decode(str(ecsk.strings[0]) + str(ecsk.strings[1]) + str(ecsk.strings[2])).r,
            SSH_ERR_INVALID_FORMAT);
}

TEST(SshkeyBlob, RsaAndDsaMpints) {
  auto f = split_strings(fixture("key_rsa1024"), 3);
  // A negative modulus (top bit set without the 0x00 pad).
  Bytes n = f.strings[2];
  Bytes negative(n.begin() + 1, n.end());
  EXPECT_EQ(decode(str("ssh-rsa") + str(f.strings[1]) + str(negative)).r, SSH_ERR_INVALID_FORMAT);
  EXPECT_EQ(decode(str("ssh-rsa") + str(f.strings[1])).r, SSH_ERR_INVALID_FORMAT);
  auto dsa = split_strings(fixture("key_dsa"), 4);
  EXPECT_EQ(
      decode(str("ssh-dss") + str(dsa.strings[1]) + str(dsa.strings[2]) + str(dsa.strings[3])).r,
      SSH_ERR_INVALID_FORMAT);
}

TEST(SshkeyBlob, CertNamesRefusedWhereOnlyPlainKeysMayAppear) {
  // Refused on the name alone, before anything else is read.
  EXPECT_EQ(decode(str("ssh-ed25519-cert-v01@" VARDEK_KEY_DOMAIN), 0).r,
            SSH_ERR_INVALID_CERT_SIGNER);
  EXPECT_EQ(decode(fixture("cert_rsa_by_rsa_sha1"), 0).r, SSH_ERR_INVALID_CERT_SIGNER);
  EXPECT_EQ(decode(fixture("cert_rsa_by_rsa_sha1"), 1).r, 0);
}

TEST(SshkeyToBlob, RefusesWhatItCannotEncode) {
  unsigned char *blob = reinterpret_cast<unsigned char *>(1);
  size_t len = 99;
  EXPECT_EQ(to_blob(nullptr, &blob, &len, 0), SSH_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(blob, nullptr);
  EXPECT_EQ(len, 0u);

  vardek::unique_ptr<sshkey> cert(sshkey_new(KEY_TYPE_ED25519_CERT));
  EXPECT_EQ(to_blob(cert.get(), &blob, &len, 0), SSH_ERR_NO_CERT_DATA);
  cert_free(cert->cert);
  cert->cert = nullptr;
  EXPECT_EQ(to_blob(cert.get(), &blob, &len, 0), SSH_ERR_PLAIN_KEY_GIVEN);
  // Plain form of a certificate key without its public part.
  EXPECT_EQ(to_blob(cert.get(), &blob, &len, 1), SSH_ERR_INVALID_ARGUMENT);

  vardek::unique_ptr<sshkey> k(sshkey_new(KEY_TYPE_UNSPECIFIED));
  EXPECT_EQ(to_blob(k.get(), &blob, &len, 0), SSH_ERR_UNSUPPORTED_KEY_TYPE);
  k.reset(sshkey_new(KEY_TYPE_NULL));
  EXPECT_EQ(to_blob(k.get(), &blob, &len, 0), SSH_ERR_UNSUPPORTED_FEATURE);
  k.reset(sshkey_new(KEY_TYPE_RSA));
  EXPECT_EQ(to_blob(k.get(), &blob, &len, 0), SSH_ERR_INVALID_ARGUMENT);
  k.reset(sshkey_new(KEY_TYPE_ED25519));
  EXPECT_EQ(to_blob(k.get(), &blob, &len, 0), SSH_ERR_INVALID_ARGUMENT);
  k.reset(sshkey_new(KEY_TYPE_ECDSA));
  EXPECT_EQ(to_blob(k.get(), &blob, &len, 0), SSH_ERR_INVALID_ARGUMENT);
  vardek::unique_ptr<sshkey> dsa(sshkey_new(KEY_TYPE_DSA));
  EXPECT_EQ(to_blob(dsa.get(), &blob, &len, 0), SSH_ERR_UNEXPECTED_INTERNAL);
  EXPECT_EQ(blob, nullptr);
}

TEST(SshkeyToBlob, TokenStyleKeys) {
  // Keys filled by a caller the way the token layer does it.
  vardek::unique_ptr<sshkey> k(sshkey_new(KEY_TYPE_UNSPECIFIED));
  k->type = KEY_TYPE_ECDSA;
  k->ecdsa = EC_KEY_new_by_curve_name(NID_secp384r1);
  ASSERT_EQ(EC_KEY_generate_key(k->ecdsa), 1);
  k->ecdsa_nid = sshkey_ecdsa_key_to_nid(k->ecdsa);
  k->flags = KEY_FLAG_ON_TOKEN;
  Bytes blob = encode(k.get());
  auto f = split_strings(blob, 3);
  EXPECT_EQ(f.strings[0], from_text("ecdsa-sha2-nistp384"));
  EXPECT_EQ(f.strings[1], from_text("nistp384"));
  EXPECT_EQ(f.strings[2].size(), 97u);
  auto back = decode(blob);
  ASSERT_EQ(back.r, 0);
  EXPECT_TRUE(sshkey_equal(k.get(), back.key.get()));
  EXPECT_EQ(back.key->flags, 0u);

  // A curve without an SSH name has no blob at all.
  vardek::unique_ptr<sshkey> odd(sshkey_new(KEY_TYPE_UNSPECIFIED));
  odd->type = KEY_TYPE_ECDSA;
  odd->ecdsa = EC_KEY_new_by_curve_name(NID_secp224r1);
  ASSERT_EQ(EC_KEY_generate_key(odd->ecdsa), 1);
  odd->ecdsa_nid = sshkey_ecdsa_key_to_nid(odd->ecdsa);
  unsigned char *raw = nullptr;
  size_t len = 0;
  EXPECT_EQ(to_blob(odd.get(), &raw, &len, 0), SSH_ERR_INVALID_CURVE);
  EXPECT_EQ(raw, nullptr);
  EXPECT_EQ(sshkey_fingerprint(odd.get()), nullptr);
}

TEST(SshkeyFingerprint, MatchesTheIndependentDigest) {
  for (const char *name : kPlainKeys) {
    auto d = decode(fixture(std::string("key_") + name));
    ASSERT_EQ(d.r, 0);
    char *fp = sshkey_fingerprint(d.key.get());
    ASSERT_NE(fp, nullptr) << name;
    EXPECT_EQ(std::strlen(fp), 50u);
    EXPECT_EQ(std::string(fp), vardek::test::fixture_text(std::string("fp_") + name)) << name;
    free(fp);
  }
  // A certificate key is fingerprinted by its plain key.
  auto cert = decode(fixture("cert_ed25519_by_ed25519"));
  ASSERT_EQ(cert.r, 0);
  char *fp = sshkey_fingerprint(cert.key.get());
  ASSERT_NE(fp, nullptr);
  EXPECT_EQ(std::string(fp), vardek::test::fixture_text("fp_ed25519"));
  free(fp);
  EXPECT_EQ(sshkey_fingerprint(nullptr), nullptr);
}

TEST(SshkeyDigest, Sha256OfKnownInput) {
  unsigned char d[32];
  ASSERT_EQ(ssh_digest_memory("abc", 3, d, sizeof d), 0);
  EXPECT_EQ(
      vardek::test::to_hex(d, sizeof d),
      vardek::test::to_hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"_hex));
  EXPECT_EQ(ssh_digest_memory("abc", 3, d, 31), SSH_ERR_INVALID_ARGUMENT);
}

}  // namespace
