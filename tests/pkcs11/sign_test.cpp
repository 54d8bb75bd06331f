// Token-backed signing through the mock module: signatures made with
// RSA_private_encrypt / ECDSA_sign on the keys pkcs11_add_provider returns,
// checked against the public keys of the test key files, and every refusal
// of the signing path with its log line.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "common/bytes.h"
#include "provider_fixture.h"

namespace {

using vardek::test::Bytes;
using vardek::test::KeySet;
using vardek::test::ProviderTest;

using SignTest = ProviderTest;

EVP_PKEY *read_private(const std::string &path) {
  FILE *fp = fopen(path.c_str(), "r");
  if (fp == nullptr) return nullptr;
  EVP_PKEY *k = PEM_read_PrivateKey(fp, nullptr, nullptr, nullptr);
  fclose(fp);
  return k;
}

std::string pair(const char *pem, const char *id, const std::string &priv_extra = "") {
  std::string path = ProviderTest::data(pem);
  return "object class=public key=" + path + " id=" + id + " label=" + pem + "\n" +
         "object class=private key=" + path + " id=" + id + " " + priv_extra + "\n";
}

int add(KeySet &ks, const char *pin = "") {
  ks.n = pkcs11_add_provider(ProviderTest::mock_module().c_str(), pin, &ks.keys, &ks.labels);
  return ks.n;
}

// RSA_private_encrypt on the token key, checked with the file's public key.
void expect_rsa_signs(sshkey *k, const std::string &pem) {
  ASSERT_EQ(k->type, KEY_TYPE_RSA);
  Bytes in = vardek::test::from_text("data to be signed by the token");
  Bytes sig(static_cast<size_t>(RSA_size(k->rsa)));
  int len = RSA_private_encrypt(static_cast<int>(in.size()), in.data(), sig.data(), k->rsa,
                                RSA_PKCS1_PADDING);
  ASSERT_EQ(len, RSA_size(k->rsa));
  EVP_PKEY *ref = read_private(pem);
  ASSERT_NE(ref, nullptr);
  Bytes rec(sig.size());
  int n = RSA_public_decrypt(len, sig.data(), rec.data(), const_cast<RSA *>(EVP_PKEY_get0_RSA(ref)),
                             RSA_PKCS1_PADDING);
  ASSERT_EQ(n, static_cast<int>(in.size()));
  rec.resize(static_cast<size_t>(n));
  EXPECT_EQ(rec, in);
  EVP_PKEY_free(ref);
}

// ECDSA_sign on the token key, checked with the file's public key.
void expect_ecdsa_signs(sshkey *k, const std::string &pem) {
  ASSERT_EQ(k->type, KEY_TYPE_ECDSA);
  Bytes digest(32);
  for (size_t i = 0; i < digest.size(); i++) digest[i] = static_cast<uint8_t>(i * 7);
  Bytes der(static_cast<size_t>(ECDSA_size(k->ecdsa)));
  unsigned int len = 0;
  ASSERT_EQ(
      ECDSA_sign(0, digest.data(), static_cast<int>(digest.size()), der.data(), &len, k->ecdsa), 1);
  EVP_PKEY *ref = read_private(pem);
  ASSERT_NE(ref, nullptr);
  EXPECT_EQ(ECDSA_verify(0, digest.data(), static_cast<int>(digest.size()), der.data(),
                         static_cast<int>(len), const_cast<EC_KEY *>(EVP_PKEY_get0_EC_KEY(ref))),
            1);
  EVP_PKEY_free(ref);
}

TEST_F(SignTest, EveryKeyKindSignsOnTheToken) {
  mock_config("slot id=1\n" + pair("rsa2048.pem", "01") + pair("ec256.pem", "02") +
              pair("ec384.pem", "03") + pair("ec521.pem", "04"));
  KeySet ks;
  ASSERT_EQ(add(ks), 4);
  expect_rsa_signs(ks.keys[0], data("rsa2048.pem"));
  expect_ecdsa_signs(ks.keys[1], data("ec256.pem"));
  expect_ecdsa_signs(ks.keys[2], data("ec384.pem"));
  expect_ecdsa_signs(ks.keys[3], data("ec521.pem"));
  // The private key is found by class, id and CKA_SIGN, then signed with
  // the mechanism of its kind.
  EXPECT_EQ(count_calls("C_FindObjectsInit h=1 CKA_CLASS=3 CKA_ID=01 CKA_SIGN=1"), 1u);
  EXPECT_EQ(count_calls("C_SignInit h=1 mech=0x1 obj=2"), 1u);
  EXPECT_EQ(count_calls("C_SignInit h=1 mech=0x1041 obj=4"), 1u);
  EXPECT_EQ(count_calls("C_GetAttributeValue h=1 obj=2 CKA_ALWAYS_AUTHENTICATE"), 1u);
  EXPECT_TRUE(logged("debug1: pkcs11_check_obj_bool_attrib: provider \"pkcs11:?module-path=" +
                     mock_module() + "\" slot 0 object 2: attrib 514 = 0"));
}

TEST_F(SignTest, CertificateKeysSignToo) {
  mock_config("slot id=1\nobject class=certificate cert=" + data("rsa2048.der") +
              " id=05 label=c\nobject class=private key=" + data("rsa2048.pem") + " id=05\n");
  KeySet ks;
  ASSERT_EQ(add(ks), 1);
  expect_rsa_signs(ks.keys[0], data("rsa2048.pem"));
}

TEST_F(SignTest, RawEcdsaLengths) {
  // Only r || s at exactly twice the order's width (132 bytes for P-521) is
  // a signature; the mock cuts or zero-pads its real answer to the length.
  for (int len : {132, 64, 63, 65, 62, 130, 134}) {
    SCOPED_TRACE(len);
    clear_log();
    mock_config("slot id=1\n" + pair("ec521.pem", "01") + "ec_sig_len " + std::to_string(len) +
                "\n");
    KeySet ks;
    ASSERT_EQ(add(ks), 1);
    Bytes digest(32, 0x5a);
    ECDSA_SIG *sig = ECDSA_do_sign(digest.data(), 32, ks.keys[0]->ecdsa);
    if (len == 132) {
      ASSERT_NE(sig, nullptr);
      EXPECT_EQ(ECDSA_do_verify(digest.data(), 32, sig, ks.keys[0]->ecdsa), 1);
      ECDSA_SIG_free(sig);
    } else {
      EXPECT_EQ(sig, nullptr);
      EXPECT_TRUE(logged("ecdsa_do_sign: bad signature length: " + std::to_string(len)));
    }
    ks.clear();
    ASSERT_EQ(pkcs11_del_provider(mock_module().c_str()), 0);
  }
}

TEST_F(SignTest, RawSignatureHalvesBecomeRAndS) {
  // With a 64-byte answer from a P-256 key, r and s are the halves: the
  // mock's answer is the real signature, so it verifies.
  mock_config("slot id=1\n" + pair("ec256.pem", "01"));
  KeySet ks;
  ASSERT_EQ(add(ks), 1);
  Bytes digest(32, 0x33);
  ECDSA_SIG *sig = ECDSA_do_sign(digest.data(), 32, ks.keys[0]->ecdsa);
  ASSERT_NE(sig, nullptr);
  EVP_PKEY *ref = read_private(data("ec256.pem"));
  EXPECT_EQ(
      ECDSA_do_verify(digest.data(), 32, sig, const_cast<EC_KEY *>(EVP_PKEY_get0_EC_KEY(ref))), 1);
  EVP_PKEY_free(ref);
  ECDSA_SIG_free(sig);
}

TEST_F(SignTest, BufferTooSmallFromTheTokenDoesNotBlockLaterSignatures) {
  // CKR_BUFFER_TOO_SMALL keeps the operation active; vardek ends it, so the
  // next C_SignInit on the session is not refused with CKR_OPERATION_ACTIVE.
  for (const char *pem : {"rsa2048.pem", "ec384.pem"}) {
    SCOPED_TRACE(pem);
    clear_log();
    clear_calls();
    mock_config("slot id=1\n" + pair(pem, "01") + "fail C_Sign 1 CKR_BUFFER_TOO_SMALL\n");
    KeySet ks;
    ASSERT_EQ(add(ks), 1);
    sshkey *k = ks.keys[0];
    Bytes digest(48, 0x21);
    if (k->type == KEY_TYPE_RSA) {
      unsigned char out[256];
      EXPECT_EQ(RSA_private_encrypt(32, digest.data(), out, k->rsa, RSA_PKCS1_PADDING), -1);
      expect_rsa_signs(k, data(pem));
    } else {
      EXPECT_EQ(ECDSA_do_sign(digest.data(), 48, k->ecdsa), nullptr);
      ECDSA_SIG *sig = ECDSA_do_sign(digest.data(), 48, k->ecdsa);
      ASSERT_NE(sig, nullptr);
      EXPECT_EQ(ECDSA_do_verify(digest.data(), 48, sig, k->ecdsa), 1);
      ECDSA_SIG_free(sig);
    }
    EXPECT_TRUE(logged("C_Sign failed: 336"));
    EXPECT_EQ(count_calls("C_SignInit"), 2u);
    ks.clear();
    ASSERT_EQ(pkcs11_del_provider(mock_module().c_str()), 0);
  }
}

TEST_F(SignTest, SearchLeftActiveByAFailedFinalIsEndedBeforeTheNext) {
  // The certificate search's C_FindObjectsFinal fails and the mock keeps
  // that search active: the private-key search ends it and starts again.
  mock_config("slot id=1\n" + pair("rsa2048.pem", "01") +
              "fail C_FindObjectsFinal 2 CKR_GENERAL_ERROR\n");
  KeySet ks;
  ASSERT_EQ(add(ks), 1);
  expect_rsa_signs(ks.keys[0], data("rsa2048.pem"));
  EXPECT_TRUE(logged("debug1: pkcs11_find_objects_init: ended a search left active: 0"));
}

TEST_F(SignTest, PrivateKeyWithoutSignAttributeIsFoundBySecondSearch) {
  mock_config("slot id=1\n" + pair("rsa2048.pem", "01", "noattr=CKA_SIGN"));
  KeySet ks;
  ASSERT_EQ(add(ks), 1);
  expect_rsa_signs(ks.keys[0], data("rsa2048.pem"));
  EXPECT_TRUE(logged("debug1: C_FindObjects failed (nfound 0 nattr 3): 0"));
  EXPECT_EQ(count_calls("C_FindObjectsInit h=1 CKA_CLASS=3 CKA_ID=01 CKA_SIGN=1"), 1u);
  // The second search leaves CKA_SIGN out.
  EXPECT_EQ(count_calls("C_FindObjectsInit h=1 CKA_CLASS=3 CKA_ID=01"), 2u);
}

TEST_F(SignTest, NoPrivateKey) {
  mock_config("slot id=1\nobject class=public key=" + data("rsa2048.pem") + " id=01\n");
  KeySet ks;
  ASSERT_EQ(add(ks), 1);
  Bytes in(20, 1), out(256);
  EXPECT_EQ(RSA_private_encrypt(20, in.data(), out.data(), ks.keys[0]->rsa, RSA_PKCS1_PADDING), -1);
  long a = log_index("cannot find private key");
  EXPECT_GE(a, 0);
  EXPECT_EQ(log_index("pkcs11_get_key failed", static_cast<size_t>(a)), a + 1);
  EXPECT_EQ(count_calls("C_SignInit"), 0u);
}

TEST_F(SignTest, TwoPrivateKeysWithTheSameIdTakeTheFirst) {
  mock_config("slot id=1\n" + pair("rsa2048.pem", "01") +
              "object class=private key=" + data("rsa2048.pem") + " id=01\n");
  KeySet ks;
  ASSERT_EQ(add(ks), 1);
  expect_rsa_signs(ks.keys[0], data("rsa2048.pem"));
  EXPECT_EQ(count_calls("C_SignInit h=1 mech=0x1 obj=2"), 1u);
}

TEST_F(SignTest, SignInitFailure) {
  mock_config("slot id=1\n" + pair("rsa2048.pem", "01") +
              "fail C_SignInit 1 CKR_KEY_FUNCTION_NOT_PERMITTED\n");
  KeySet ks;
  ASSERT_EQ(add(ks), 1);
  Bytes in(20, 1), out(256);
  EXPECT_EQ(RSA_private_encrypt(20, in.data(), out.data(), ks.keys[0]->rsa, RSA_PKCS1_PADDING), -1);
  long a = log_index("C_SignInit failed: 104");
  EXPECT_GE(a, 0);
  EXPECT_EQ(log_index("pkcs11_get_key failed", static_cast<size_t>(a)), a + 1);
  EXPECT_EQ(count_calls("C_Sign "), 0u);
  // The token works again afterwards.
  expect_rsa_signs(ks.keys[0], data("rsa2048.pem"));
}

TEST_F(SignTest, SignFailure) {
  mock_config("slot id=1\n" + pair("rsa2048.pem", "01") + pair("ec256.pem", "02") +
              "fail C_Sign always CKR_DEVICE_ERROR\n");
  KeySet ks;
  ASSERT_EQ(add(ks), 2);
  Bytes in(20, 1), out(256);
  EXPECT_EQ(RSA_private_encrypt(20, in.data(), out.data(), ks.keys[0]->rsa, RSA_PKCS1_PADDING), -1);
  EXPECT_TRUE(logged("C_Sign failed: 48"));
  clear_log();
  Bytes digest(32, 2);
  EXPECT_EQ(ECDSA_do_sign(digest.data(), 32, ks.keys[1]->ecdsa), nullptr);
  EXPECT_TRUE(logged("C_Sign failed: 48"));
}

TEST_F(SignTest, DecryptAlwaysFailsSilently) {
  mock_config("slot id=1\n" + pair("rsa2048.pem", "01"));
  KeySet ks;
  ASSERT_EQ(add(ks), 1);
  clear_log();
  clear_calls();
  Bytes in(256, 1), out(256);
  EXPECT_EQ(RSA_private_decrypt(256, in.data(), out.data(), ks.keys[0]->rsa, RSA_PKCS1_PADDING),
            -1);
  EXPECT_TRUE(log_lines().empty());
  EXPECT_TRUE(calls().empty());
}

TEST_F(SignTest, AlwaysAuthenticateKeyCannotSign) {
  mock_config("slot id=1\n" + pair("ec256.pem", "01", "always_auth=1"));
  KeySet ks;
  ASSERT_EQ(add(ks), 1);
  Bytes digest(32, 1);
  EXPECT_EQ(ECDSA_do_sign(digest.data(), 32, ks.keys[0]->ecdsa), nullptr);
  long a = log_index("debug1: pkcs11_get_key: always-auth key");
  EXPECT_GE(a, 0);
  long b = log_index("need pin entry", static_cast<size_t>(a));
  EXPECT_EQ(b, a + 1);
  EXPECT_EQ(log_index("login failed for always-auth key", static_cast<size_t>(b)), b + 1);
  EXPECT_EQ(count_calls("C_Login"), 0u);
}

TEST_F(SignTest, AlwaysAuthenticateUnreadableSignsAnyway) {
  mock_config("slot id=1\n" + pair("rsa2048.pem", "01") +
              "fail C_GetAttributeValue from=4 CKR_DEVICE_ERROR\n");
  KeySet ks;
  ASSERT_EQ(add(ks), 1);
  expect_rsa_signs(ks.keys[0], data("rsa2048.pem"));
  EXPECT_TRUE(logged("C_GetAttributeValue failed: 48"));
}

TEST_F(SignTest, TokenNotLoggedInCannotSign) {
  mock_config("slot id=1 flags=initialized,login_required,protected_auth\n" +
              pair("rsa2048.pem", "01"));
  KeySet ks;
  ASSERT_EQ(add(ks, "1234"), 1);
  // The slot loses its login (as if the token had logged out): no PIN is
  // asked for at signing time.
  first_provider()->module->slotinfo[0].logged_in = 0;
  clear_calls();
  Bytes in(20, 1), out(256);
  EXPECT_EQ(RSA_private_encrypt(20, in.data(), out.data(), ks.keys[0]->rsa, RSA_PKCS1_PADDING), -1);
  long a = log_index("need pin entry on reader keypad");
  EXPECT_GE(a, 0);
  EXPECT_EQ(log_index("login failed", static_cast<size_t>(a)), a + 1);
  EXPECT_TRUE(calls().empty());
}

TEST_F(SignTest, RemovedProvidersKeyCannotSign) {
  mock_config("slot id=1\n" + pair("rsa2048.pem", "01"));
  KeySet ks;
  ASSERT_EQ(add(ks), 1);
  pkcs11_provider *p = first_provider();
  ASSERT_EQ(pkcs11_del_provider(mock_module().c_str()), 0);
  clear_log();
  Bytes in(20, 1), out(256);
  EXPECT_EQ(RSA_private_encrypt(20, in.data(), out.data(), ks.keys[0]->rsa, RSA_PKCS1_PADDING), -1);
  EXPECT_EQ(log_lines(), (std::vector<std::string>{"no pkcs11 (valid) provider found",
                                                   "pkcs11_get_key failed"}));
  EXPECT_EQ(p->refcount, 1);
  clear_log();
  ks.clear();  // the last key frees the provider record
  EXPECT_TRUE(logged("debug1: pkcs11_provider_unref: provider \"pkcs11:?module-path=" +
                     mock_module() + "\" refcount 1"));
}

TEST_F(SignTest, LoginRefusals) {
  pkcs11_slot slot{};
  pkcs11_provider p{};
  EXPECT_EQ(pkcs11_login_slot(&p, &slot, CKU_USER), -1);  // not valid
  EXPECT_EQ(pkcs11_login_slot(nullptr, &slot, CKU_USER), -1);
  EXPECT_EQ(count_logged("no pkcs11 (valid) provider found"), 2u);
  p.valid = 1;
  EXPECT_EQ(pkcs11_login_slot(&p, &slot, CKU_USER), -1);
  EXPECT_TRUE(logged("need pin entry"));
  slot.token.flags = CKF_PROTECTED_AUTHENTICATION_PATH;
  EXPECT_EQ(pkcs11_login_slot(&p, &slot, CKU_CONTEXT_SPECIFIC), -1);
  EXPECT_TRUE(logged("need pin entry on reader keypad"));

  // A key whose module has been finalised fails before any slot is looked at.
  pkcs11_module m{};
  p.module = &m;
  pkcs11_key k11{};
  k11.provider = &p;
  clear_log();
  EXPECT_EQ(pkcs11_login(&k11, CKU_USER), -1);
  EXPECT_EQ(log_lines(), (std::vector<std::string>{"no pkcs11 (valid) provider found"}));
  EXPECT_EQ(pkcs11_login(nullptr, CKU_USER), -1);
}

}  // namespace
