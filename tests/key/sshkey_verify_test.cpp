#define OPENSSL_SUPPRESS_DEPRECATED
// Signature verification for every family, on signatures made by an
// independent implementation, and the codes for each malformed signature.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <string>

#include "key/key_fixtures.h"
#include "key/sshkey-internal.h"
#include "log/log.h"
#include "log/ssherr.h"
#include "util/ossl_ptr.h"

namespace {

using vardek::test::Bytes;
using vardek::test::decode;
using vardek::test::operator+;
using vardek::test::fixture;
using vardek::test::split_strings;
using vardek::test::str;
using vardek::test::u32;
using vardek::test::u8;

vardek::unique_ptr<sshkey> key(const char *name) {
  auto d = decode(fixture(name));
  if (d.r != 0) throw std::runtime_error(std::string("decode ") + name);
  return std::move(d.key);
}

int verify(const sshkey *k, const Bytes &sig, const Bytes &data) {
  return sshkey_verify(k, sig.data(), sig.size(), data.data(), data.size());
}

int verify_alg(const sshkey *k, const Bytes &sig, const Bytes &data, const char *alg) {
  return sshkey_type_info_for_key(k)->ops->verify(k, sig.data(), sig.size(), data.data(),
                                                  data.size(), alg, 0, nullptr);
}

const Bytes &data() { return fixture("data"); }

TEST(VerifyGood, EveryFamilyAcceptsItsSignature) {
  const struct {
    const char *key;
    const char *sig;
    int other_data = SSH_ERR_INCORRECT_SIGNATURE;
  } cases[] = {
      {"key_rsa2048", "sig_rsa2048_ssh-rsa"},
      {"key_rsa2048", "sig_rsa2048_rsa-sha2-256"},
      {"key_rsa2048", "sig_rsa2048_rsa-sha2-512"},
      {"key_dsa", "sig_dsa"},
      {"key_ecdsa_nistp256", "sig_ecdsa_nistp256"},
      {"key_ecdsa_nistp384", "sig_ecdsa_nistp384"},
      {"key_ecdsa_nistp521", "sig_ecdsa_nistp521"},
      {"key_ed25519", "sig_ed25519"},
      {"key_ed25519_sk", "sig_ed25519_sk"},
      {"key_ecdsa_sk", "sig_ecdsa_sk"},
      // Other data gives another challenge than the client data holds.
      {"key_ecdsa_sk", "sig_webauthn", SSH_ERR_INVALID_FORMAT},
      {"key_ecdsa_sk", "sig_webauthn_ext", SSH_ERR_INVALID_FORMAT},
  };
  for (const auto &c : cases) {
    auto k = key(c.key);
    const Bytes &sig = fixture(c.sig);
    EXPECT_EQ(verify(k.get(), sig, data()), 0) << c.sig;
    Bytes other = data();
    other[0] ^= 1;
    EXPECT_EQ(verify(k.get(), sig, other), c.other_data) << c.sig;
    // One bit of the signature value changed (for ECDSA: of s).
    auto f = split_strings(sig, 2);
    f.strings[1].back() ^= 0x01;
    Bytes flipped = str(f.strings[0]) + str(f.strings[1]) + f.rest;
    EXPECT_EQ(verify(k.get(), flipped, data()), SSH_ERR_INCORRECT_SIGNATURE) << c.sig;
  }
}

TEST(VerifyArguments, RefusedBeforeAnyParsing) {
  auto k = key("key_ed25519");
  const Bytes &sig = fixture("sig_ed25519");
  EXPECT_EQ(sshkey_verify(k.get(), sig.data(), 0, data().data(), data().size()),
            SSH_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(sshkey_verify(k.get(), nullptr, sig.size(), data().data(), data().size()),
            SSH_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(sshkey_verify(nullptr, sig.data(), sig.size(), data().data(), data().size()),
            SSH_ERR_INVALID_ARGUMENT);
  Bytes big((1 << 20) + 1, 0);
  EXPECT_EQ(verify(k.get(), sig, big), SSH_ERR_INVALID_ARGUMENT);
  // A key without a row for its curve.
  auto ec = key("key_ecdsa_nistp256");
  ec->ecdsa_nid = 999;
  EXPECT_EQ(verify(ec.get(), fixture("sig_ecdsa_nistp256"), data()), SSH_ERR_UNSUPPORTED_KEY_TYPE);
  // ... and the operation itself refuses an unknown curve before reading.
  EXPECT_EQ(ssh_ecdsa_ops.verify(ec.get(), Bytes{1}.data(), 1, data().data(), data().size(),
                                 nullptr, 0, nullptr),
            SSH_ERR_UNEXPECTED_INTERNAL);
  // A family's operation given another family's key.
  auto rsa = key("key_rsa2048");
  EXPECT_EQ(ssh_ed25519_ops.verify(rsa.get(), sig.data(), sig.size(), data().data(), data().size(),
                                   nullptr, 0, nullptr),
            SSH_ERR_INVALID_ARGUMENT);
  // A signature of another family.
  EXPECT_EQ(verify(rsa.get(), sig, data()), SSH_ERR_KEY_TYPE_DIFFERS);
  // The null type verifies nothing.
  vardek::unique_ptr<sshkey> null_key(sshkey_new(KEY_TYPE_NULL));
  EXPECT_EQ(verify(null_key.get(), sig, data()), SSH_ERR_UNSUPPORTED_FEATURE);
}

TEST(VerifyRsa, SignatureNamesSelectTheHash) {
  auto k = key("key_rsa2048");
  auto sha1 = split_strings(fixture("sig_rsa2048_ssh-rsa"), 2);
  auto sha256 = split_strings(fixture("sig_rsa2048_rsa-sha2-256"), 2);
  // The SHA-1 value presented as SHA-256 and the other way round.
  EXPECT_EQ(verify(k.get(), str("rsa-sha2-256") + str(sha1.strings[1]), data()),
            SSH_ERR_INCORRECT_SIGNATURE);
  EXPECT_EQ(verify(k.get(), str("ssh-rsa") + str(sha256.strings[1]), data()),
            SSH_ERR_INCORRECT_SIGNATURE);
  EXPECT_EQ(verify(k.get(), str("rsa-sha2-512") + str(sha256.strings[1]), data()),
            SSH_ERR_INCORRECT_SIGNATURE);
  EXPECT_EQ(verify(k.get(), str("rsa-sha2-384") + str(sha256.strings[1]), data()),
            SSH_ERR_KEY_TYPE_DIFFERS);
  EXPECT_EQ(verify(k.get(), str("RSA") + str(sha256.strings[1]), data()), SSH_ERR_KEY_TYPE_DIFFERS);
  EXPECT_EQ(verify(k.get(), fixture("sig_rsa2048_rsa-sha2-256") + u8(0), data()),
            SSH_ERR_TRAILING_BYTES);
  EXPECT_EQ(verify(k.get(), str("rsa-sha2-256"), data()), SSH_ERR_INVALID_FORMAT);
  EXPECT_EQ(verify(k.get(), Bytes{0, 0}, data()), SSH_ERR_INVALID_FORMAT);
}

TEST(VerifyRsa, RequestedAlgorithm) {
  auto k = key("key_rsa2048");
  const Bytes &s256 = fixture("sig_rsa2048_rsa-sha2-256");
  EXPECT_EQ(verify_alg(k.get(), s256, data(), "rsa-sha2-256"), 0);
  EXPECT_EQ(verify_alg(k.get(), s256, data(), "rsa-sha2-512"), SSH_ERR_INCORRECT_SIGNATURE);
  EXPECT_EQ(verify_alg(k.get(), s256, data(), "rsa-sha2-512-cert-v01@" VARDEK_KEY_DOMAIN),
            SSH_ERR_INCORRECT_SIGNATURE);
  // Asking for SHA-1 accepts any of the three.
  EXPECT_EQ(verify_alg(k.get(), s256, data(), "ssh-rsa"), 0);
  EXPECT_EQ(verify_alg(k.get(), s256, data(), "ssh-rsa-cert-v01@" VARDEK_KEY_DOMAIN), 0);
  EXPECT_EQ(verify_alg(k.get(), s256, data(), "ssh-ed25519"), SSH_ERR_INVALID_ARGUMENT);
}

TEST(VerifyRsa, SignatureLengthAgainstTheModulus) {
  auto k = key("key_rsa1024");
  const Bytes &d = fixture("data_rsa_short");
  // One byte short: padded in front, then checked.
  EXPECT_EQ(verify(k.get(), fixture("sig_rsa1024_short"), d), 0);
  EXPECT_EQ(verify(k.get(), fixture("sig_rsa1024_long"), d), SSH_ERR_KEY_BITS_DIFFER);
  // A 2048-bit signature against a 4096-bit key is padded and fails.
  auto big = key("key_rsa4096");
  EXPECT_EQ(verify(big.get(), fixture("sig_rsa2048_rsa-sha2-256"), data()),
            SSH_ERR_INCORRECT_SIGNATURE);
  // And against a 1024-bit key it is too long.
  EXPECT_EQ(verify(k.get(), fixture("sig_rsa2048_rsa-sha2-256"), data()), SSH_ERR_KEY_BITS_DIFFER);
}

TEST(VerifyRsa, ShortModulusIsRefused) {
  auto k = key("key_rsa1024");
  const BIGNUM *n = nullptr;
  RSA_get0_key(k->rsa, &n, nullptr, nullptr);
  BIGNUM *shorter = BN_dup(n);
  ASSERT_EQ(BN_rshift1(shorter, shorter), 1);
  ASSERT_EQ(BN_num_bits(shorter), 1023);
  ASSERT_EQ(RSA_set0_key(k->rsa, shorter, nullptr, nullptr), 1);
  EXPECT_EQ(verify(k.get(), fixture("sig_rsa1024_short"), fixture("data_rsa_short")),
            SSH_ERR_INVALID_KEY_LENGTH);
}

TEST(VerifyDsa, SignatureLayout) {
  auto k = key("key_dsa");
  auto f = split_strings(fixture("sig_dsa"), 2);
  ASSERT_EQ(f.strings[1].size(), 40u);
  EXPECT_EQ(verify(k.get(), str("ssh-dss") + str(f.strings[1] + u8(0)), data()),
            SSH_ERR_INVALID_FORMAT);
  EXPECT_EQ(
      verify(k.get(), str("ssh-dss") + str(Bytes(f.strings[1].begin(), f.strings[1].end() - 1)),
             data()),
      SSH_ERR_INVALID_FORMAT);
  EXPECT_EQ(verify(k.get(), str("ssh-rsa") + str(f.strings[1]), data()), SSH_ERR_KEY_TYPE_DIFFERS);
  EXPECT_EQ(verify(k.get(), fixture("sig_dsa") + u8(0), data()), SSH_ERR_TRAILING_BYTES);
  EXPECT_EQ(verify(k.get(), str("ssh-dss"), data()), SSH_ERR_INVALID_FORMAT);
  // r and s swapped
  Bytes swapped(f.strings[1].begin() + 20, f.strings[1].end());
  swapped.insert(swapped.end(), f.strings[1].begin(), f.strings[1].begin() + 20);
  EXPECT_EQ(verify(k.get(), str("ssh-dss") + str(swapped), data()), SSH_ERR_INCORRECT_SIGNATURE);
}

TEST(VerifyEcdsa, NamesAndInnerLayout) {
  auto k384 = key("key_ecdsa_nistp384");
  auto f = split_strings(fixture("sig_ecdsa_nistp384"), 2);
  EXPECT_EQ(verify(k384.get(), str("ecdsa-sha2-nistp256") + str(f.strings[1]), data()),
            SSH_ERR_KEY_TYPE_DIFFERS);
  EXPECT_EQ(verify(k384.get(), str("ecdsa-sha2-nistp384") + str(f.strings[1] + u8(0)), data()),
            SSH_ERR_TRAILING_BYTES);
  EXPECT_EQ(verify(k384.get(), fixture("sig_ecdsa_nistp384") + u8(0), data()),
            SSH_ERR_TRAILING_BYTES);
  // Only r inside.
  auto rs = split_strings(f.strings[1], 1);
  EXPECT_EQ(verify(k384.get(), str("ecdsa-sha2-nistp384") + str(str(rs.strings[0])), data()),
            SSH_ERR_INVALID_FORMAT);
  // The signature of another curve's key.
  EXPECT_EQ(verify(k384.get(), fixture("sig_ecdsa_nistp256"), data()), SSH_ERR_KEY_TYPE_DIFFERS);
  // The right name over another key's signature values.
  auto k256 = key("key_ecdsa_nistp256");
  auto other = split_strings(fixture("sig_ecdsa_sk"), 2);
  EXPECT_EQ(verify(k256.get(), str("ecdsa-sha2-nistp256") + str(other.strings[1]), data()),
            SSH_ERR_INCORRECT_SIGNATURE);
}

TEST(VerifyEd25519, SignatureLayout) {
  auto k = key("key_ed25519");
  auto f = split_strings(fixture("sig_ed25519"), 2);
  ASSERT_EQ(f.strings[1].size(), 64u);
  EXPECT_EQ(verify(k.get(), str("ssh-ed25519") + str(f.strings[1] + u8(0)), data()),
            SSH_ERR_INVALID_FORMAT);
  // A short signature shifts the split between signature and message.
  EXPECT_EQ(
      verify(k.get(), str("ssh-ed25519") + str(Bytes(f.strings[1].begin(), f.strings[1].end() - 1)),
             data()),
      SSH_ERR_INCORRECT_SIGNATURE);
  EXPECT_EQ(
      verify(k.get(), str("ssh-ed25519-cert-v01@" VARDEK_KEY_DOMAIN) + str(f.strings[1]), data()),
      SSH_ERR_KEY_TYPE_DIFFERS);
  EXPECT_EQ(verify(k.get(), fixture("sig_ed25519") + u8(0), data()), SSH_ERR_TRAILING_BYTES);
  EXPECT_EQ(verify(k.get(), str("ssh-ed25519"), data()), SSH_ERR_INCOMPLETE_MESSAGE);
}

TEST(VerifyEd25519Sk, SignatureLayout) {
  auto k = key("key_ed25519_sk");
  const Bytes &good = fixture("sig_ed25519_sk");
  auto f = split_strings(good, 2);
  ASSERT_EQ(f.rest.size(), 5u);  // flags and counter
  // The counter is signed too.
  Bytes counter = good;
  counter.back() ^= 1;
  EXPECT_EQ(verify(k.get(), counter, data()), SSH_ERR_INCORRECT_SIGNATURE);
  EXPECT_EQ(verify(k.get(), str(f.strings[0]) + str(f.strings[1] + u8(0)) + f.rest, data()),
            SSH_ERR_INVALID_FORMAT);
  EXPECT_EQ(verify(k.get(), str("ssh-ed25519") + str(f.strings[1]) + f.rest, data()),
            SSH_ERR_KEY_TYPE_DIFFERS);
  EXPECT_EQ(verify(k.get(), good + u8(0), data()), SSH_ERR_TRAILING_BYTES);
  EXPECT_EQ(verify(k.get(), Bytes(good.begin(), good.end() - 1), data()), SSH_ERR_INVALID_FORMAT);
  // Another application was hashed into what the authenticator signed.
  free(k->sk_application);
  k->sk_application = strdup("ssh:other");
  EXPECT_EQ(verify(k.get(), good, data()), SSH_ERR_INCORRECT_SIGNATURE);
}

TEST(VerifyEcdsaSk, PlainSignatureLayout) {
  auto k = key("key_ecdsa_sk");
  const Bytes &good = fixture("sig_ecdsa_sk");
  auto f = split_strings(good, 2);
  EXPECT_EQ(verify(k.get(), str("ecdsa-sha2-nistp256") + str(f.strings[1]) + f.rest, data()),
            SSH_ERR_INVALID_FORMAT);
  EXPECT_EQ(verify(k.get(), good + u8(0), data()), SSH_ERR_TRAILING_BYTES);
  EXPECT_EQ(verify(k.get(), str(f.strings[0]) + str(f.strings[1] + u8(0)) + f.rest, data()),
            SSH_ERR_TRAILING_BYTES);
  EXPECT_EQ(verify(k.get(), Bytes(good.begin(), good.end() - 1), data()), SSH_ERR_INVALID_FORMAT);
  Bytes counter = good;
  counter.back() ^= 1;
  EXPECT_EQ(verify(k.get(), counter, data()), SSH_ERR_INCORRECT_SIGNATURE);
  // The webauthn name without the webauthn fields.
  EXPECT_EQ(
      verify(k.get(),
             str("webauthn-sk-ecdsa-sha2-nistp256@" VARDEK_KEY_DOMAIN) + str(f.strings[1]) + f.rest,
             data()),
      SSH_ERR_INVALID_FORMAT);
  // The key's nid must be P-256.
  k->ecdsa_nid = NID_secp384r1;
  EXPECT_EQ(ssh_ecdsa_sk_ops.verify(k.get(), good.data(), good.size(), data().data(), data().size(),
                                    nullptr, 0, nullptr),
            SSH_ERR_UNEXPECTED_INTERNAL);
}

TEST(VerifyEcdsaSk, WebauthnClientData) {
  auto k = key("key_ecdsa_sk");
  EXPECT_EQ(verify(k.get(), fixture("sig_webauthn_empty_data"), Bytes{}), 0);
  EXPECT_EQ(verify(k.get(), fixture("sig_webauthn_awkward"), fixture("data_webauthn_awkward")), 0);
  // Every one of these is correctly signed but breaks a rule.
  const struct {
    const char *sig;
    int r;
  } cases[] = {
      {"sig_webauthn_bad_challenge", SSH_ERR_INVALID_FORMAT},
      {"sig_webauthn_short_client_data", SSH_ERR_INCOMPLETE_MESSAGE},
      {"sig_webauthn_ext_flag_no_ext", SSH_ERR_INVALID_FORMAT},
      {"sig_webauthn_ext_no_flag", SSH_ERR_INVALID_FORMAT},
      {"sig_webauthn_attested", SSH_ERR_INVALID_FORMAT},
      {"sig_webauthn_quote_origin", SSH_ERR_INVALID_FORMAT},
  };
  for (const auto &c : cases) EXPECT_EQ(verify(k.get(), fixture(c.sig), data()), c.r) << c.sig;
  // The same client data over other data: the challenge differs.
  Bytes other = data();
  other[3] ^= 1;
  EXPECT_EQ(verify(k.get(), fixture("sig_webauthn"), other), SSH_ERR_INVALID_FORMAT);
  EXPECT_EQ(verify(k.get(), fixture("sig_webauthn") + u8(0), data()), SSH_ERR_TRAILING_BYTES);
  // Without the extensions string.
  const Bytes &good = fixture("sig_webauthn");
  EXPECT_EQ(verify(k.get(), Bytes(good.begin(), good.end() - 4), data()), SSH_ERR_INVALID_FORMAT);
}

TEST(VerifyFips, Ed25519IsRefusedInFipsMode) {
  log_init_handler("test_key", SSHLOG_INFO, 1);
  auto ed = key("key_ed25519");
  auto edsk = key("key_ed25519_sk");
  ASSERT_EQ(EVP_default_properties_enable_fips(nullptr, 1), 1);
  testing::internal::CaptureStderr();
  int r1 = verify(ed.get(), fixture("sig_ed25519"), data());
  int r2 = verify(edsk.get(), fixture("sig_ed25519_sk"), data());
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_EQ(EVP_default_properties_enable_fips(nullptr, 0), 1);
  EXPECT_EQ(r1, SSH_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(r2, SSH_ERR_INVALID_ARGUMENT);
  EXPECT_NE(err.find("ssh_ed25519_verify: Ed25519 keys are not allowed in FIPS mode"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("sshkey_verify: Ed25519 keys are not allowed in FIPS mode"), std::string::npos)
      << err;
  EXPECT_EQ(verify(ed.get(), fixture("sig_ed25519"), data()), 0);
  log_init_handler("test_key", SSHLOG_ERROR, 1);
}

TEST(Ed25519Open, Rfc8032Vectors) {
  const struct {
    const char *pk, *msg, *sig;
  } vectors[] = {
      {"d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
       "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
       "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
      {"3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
       "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
       "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
  };
  for (const auto &v : vectors) {
    Bytes pk = vardek::test::from_hex(v.pk);
    Bytes msg = vardek::test::from_hex(v.msg);
    Bytes sm = vardek::test::from_hex(v.sig) + msg;
    Bytes m(sm.size(), 0xee);
    unsigned long long mlen = 99;
    ASSERT_EQ(crypto_sign_ed25519_open(m.data(), &mlen, sm.data(), sm.size(), pk.data()), 0);
    ASSERT_EQ(mlen, msg.size());
    EXPECT_EQ(Bytes(m.begin(), m.begin() + static_cast<long>(mlen)), msg);
    sm[10] ^= 1;
    EXPECT_NE(crypto_sign_ed25519_open(m.data(), &mlen, sm.data(), sm.size(), pk.data()), 0);
    EXPECT_EQ(mlen, 0u);
  }
  Bytes pk(32, 0), sm(63, 0), m(63);
  unsigned long long mlen = 0;
  EXPECT_NE(crypto_sign_ed25519_open(m.data(), &mlen, sm.data(), sm.size(), pk.data()), 0);
}

TEST(EvpBuilders, KeysCarryTheirPublicParts) {
  auto rsa = key("key_rsa2048");
  EVP_PKEY *raw = nullptr;
  ASSERT_EQ(ssh_create_evp_rsa(rsa.get(), &raw), 0);
  vardek::unique_ptr<EVP_PKEY> p(raw);
  EXPECT_EQ(EVP_PKEY_get_bits(p.get()), 2048);
  EXPECT_TRUE(EVP_PKEY_is_a(p.get(), "RSA"));

  auto dsa = key("key_dsa");
  ASSERT_EQ(ssh_create_evp_dss(dsa.get(), &raw), 0);
  p.reset(raw);
  EXPECT_EQ(EVP_PKEY_get_bits(p.get()), 1024);

  auto ec = key("key_ecdsa_nistp521");
  ASSERT_EQ(ssh_create_evp_ec(ec->ecdsa, ec->ecdsa_nid, &raw), 0);
  p.reset(raw);
  EXPECT_EQ(EVP_PKEY_get_bits(p.get()), 521);
  EXPECT_EQ(ssh_create_evp_ec(ec->ecdsa, 999, &raw), SSH_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(raw, nullptr);

  EXPECT_EQ(sshkey_create_evp(nullptr, nullptr, &raw), SSH_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(rsa_hash_id_from_ident("rsa-sha2-512"), SSH_DIGEST_SHA512);
  EXPECT_EQ(rsa_hash_id_from_ident("rsa-sha2-256-cert-v01@" VARDEK_KEY_DOMAIN), -1);
  EXPECT_EQ(rsa_hash_id_from_keyname("rsa-sha2-256-cert-v01@" VARDEK_KEY_DOMAIN),
            SSH_DIGEST_SHA256);
  EXPECT_EQ(ssh_digest_to_md(SSH_DIGEST_SHA384), EVP_sha384());
  EXPECT_EQ(ssh_digest_to_md(5), nullptr);
}

}  // namespace
