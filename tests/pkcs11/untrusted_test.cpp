// Lengths a token reports are never trusted: a hand-made function list that
// lies in ways the mock module does not (success with impossible lengths,
// answers growing between the two passes, signatures longer than the buffer)
// drives the builders and the signing hooks directly.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/obj_mac.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>

#include <cstring>
#include <memory>
#include <string>

#include "provider_fixture.h"

namespace {

using vardek::test::ProviderTest;

// What the fake token answers.
struct Lies {
  CK_ULONG first_pass_len[4];   // lengths reported by the size query
  CK_ULONG second_pass_len[4];  // lengths reported by the data query
  CK_ULONG sign_len;            // length C_Sign reports
  int getattr_calls;
  int sign_calls;
} lies;
unsigned char sign_fill;  // the byte C_Sign fills its buffer with

CK_RV fake_get_attribute_value(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE *t, CK_ULONG n) {
  bool size_query = true;
  for (CK_ULONG i = 0; i < n; i++)
    if (t[i].pValue != nullptr) size_query = false;
  lies.getattr_calls++;
  if (n == 1 && t[0].type == CKA_ALWAYS_AUTHENTICATE) {
    *static_cast<CK_BBOOL *>(t[0].pValue) = CK_FALSE;
    t[0].ulValueLen = 1;
    return CKR_OK;
  }
  for (CK_ULONG i = 0; i < n && i < 4; i++) {
    if (size_query) {
      t[i].ulValueLen = lies.first_pass_len[i];
    } else {
      // Writes only what the caller's buffer holds, then claims more.
      if (t[i].pValue != nullptr) memset(t[i].pValue, 0x41, t[i].ulValueLen);
      t[i].ulValueLen = lies.second_pass_len[i];
    }
  }
  return CKR_OK;
}

CK_RV fake_find_init(CK_SESSION_HANDLE, CK_ATTRIBUTE *, CK_ULONG) { return CKR_OK; }
CK_RV fake_find(CK_SESSION_HANDLE, CK_OBJECT_HANDLE *obj, CK_ULONG, CK_ULONG *count) {
  *obj = 42;
  *count = 1;
  return CKR_OK;
}
CK_RV fake_find_final(CK_SESSION_HANDLE) { return CKR_OK; }
CK_RV fake_sign_init(CK_SESSION_HANDLE, CK_MECHANISM *, CK_OBJECT_HANDLE) { return CKR_OK; }
CK_RV fake_sign(CK_SESSION_HANDLE, CK_BYTE *, CK_ULONG, CK_BYTE *sig, CK_ULONG *len) {
  lies.sign_calls++;
  // Fills the buffer it was given, then reports a longer signature.
  memset(sig, sign_fill, *len);
  *len = lies.sign_len;
  return CKR_OK;
}

class UntrustedTest : public ProviderTest {
 protected:
  void SetUp() override {
    ProviderTest::SetUp();
    lies = {};
    sign_fill = 0x01;
    f_ = {};
    f_.C_GetAttributeValue = fake_get_attribute_value;
    f_.C_FindObjectsInit = fake_find_init;
    f_.C_FindObjects = fake_find;
    f_.C_FindObjectsFinal = fake_find_final;
    f_.C_SignInit = fake_sign_init;
    f_.C_Sign = fake_sign;
    slot_id_ = 1;
    slot_ = {};
    slot_.session = 1;
    slot_.token.flags = CKF_TOKEN_INITIALIZED;
    m_ = {};
    m_.function_list = &f_;
    m_.nslots = 1;
    m_.slotlist = &slot_id_;
    m_.slotinfo = &slot_;
    m_.valid = 1;
    m_.refcount = 1;
    // Never freed through unref: the test holds one reference throughout.
    name_[0] = '\0';
    p_ = {};
    p_.name = name_;
    p_.module = &m_;
    p_.valid = 1;
    p_.refcount = 1;
  }
  void TearDown() override {
    EXPECT_EQ(p_.refcount, 1);
    ProviderTest::TearDown();
  }

  CK_FUNCTION_LIST f_;
  CK_SLOT_ID slot_id_;
  pkcs11_slot slot_;
  pkcs11_module m_;
  pkcs11_provider p_;
  char name_[1];
};

TEST_F(UntrustedTest, UnavailableOrHugeFirstPassLengths) {
  const CK_ULONG bad[] = {CK_UNAVAILABLE_INFORMATION, CK_ULONG(1) << 40,
                          PKCS11_MAX_ATTRIBUTE_LEN + 1};
  for (CK_ULONG len : bad) {
    SCOPED_TRACE(len);
    clear_log();
    lies = {{1, 1, len, 3}, {1, 1, len, 3}, 0, 0, 0};
    EXPECT_EQ(pkcs11_fetch_rsa_pubkey(&p_, 0, 42), nullptr);
    EXPECT_TRUE(logged("invalid attribute length"));
    EXPECT_EQ(lies.getattr_calls, 1);  // no data query, nothing allocated
  }
}

TEST_F(UntrustedTest, SecondPassLongerThanTheFirst) {
  // Modulus of 4 bytes in the size query, 4096 claimed in the data query.
  lies = {{1, 1, 4, 3}, {1, 1, 4096, 3}, 0, 0, 0};
  EXPECT_EQ(pkcs11_fetch_rsa_pubkey(&p_, 0, 42), nullptr);
  EXPECT_TRUE(logged("invalid attribute length"));
  EXPECT_EQ(lies.getattr_calls, 2);

  clear_log();
  lies = {{1, 1, 65, 10}, {1, 1, 65, CK_UNAVAILABLE_INFORMATION}, 0, 0, 0};
  EXPECT_EQ(pkcs11_fetch_ecdsa_pubkey(&p_, 0, 42), nullptr);
  EXPECT_TRUE(logged("invalid attribute length"));

  // A required attribute that empties between the passes.
  clear_log();
  lies = {{1, 4, 30, 300}, {1, 4, 0, 300}, 0, 0, 0};
  char *subject = nullptr;
  EXPECT_EQ(pkcs11_fetch_x509_pubkey(&p_, 0, 42, &subject), nullptr);
  EXPECT_TRUE(logged("invalid attribute length"));
  free(subject);
}

TEST_F(UntrustedTest, ShorterSecondPassIsUsed) {
  // Lengths may shrink: the values are read at their new length. Here the
  // values are junk, so the RSA key is still built (any bytes are a number).
  lies = {{2, 2, 8, 4}, {1, 0, 8, 3}, 0, 0, 0};
  sshkey *k = pkcs11_fetch_rsa_pubkey(&p_, 0, 42);
  ASSERT_NE(k, nullptr);
  const BIGNUM *e = nullptr;
  RSA_get0_key(k->rsa, nullptr, &e, nullptr);
  EXPECT_EQ(BN_num_bytes(e), 3);
  EXPECT_EQ(p_.refcount, 2);
  sshkey_free(k);
}

TEST_F(UntrustedTest, EcdsaRawAnswersOfTheWrongShape) {
  // Signs through ECDSA_sign into a heap buffer of ECDSA_size bytes, as the
  // sign request does: a raw answer wider than the curve's order would make
  // the DER encoding overrun it. Only r || s at twice the order's width, each
  // in [1, n - 1], is accepted.
  struct Case {
    int nid;
    CK_ULONG len;
    unsigned char fill;
    const char *refusal;  // null: accepted
  };
  const char *len_msg = "ecdsa_do_sign: bad signature length: ";
  const char *range_msg = "ecdsa_do_sign: signature value out of range";
  const Case cases[] = {
      {NID_X9_62_prime256v1, 64, 0x01, nullptr},   {NID_X9_62_prime256v1, 66, 0x01, len_msg},
      {NID_X9_62_prime256v1, 72, 0x7f, len_msg},   {NID_X9_62_prime256v1, 73, 0x01, len_msg},
      {NID_X9_62_prime256v1, 130, 0x01, len_msg},  {NID_X9_62_prime256v1, 64, 0xff, range_msg},
      {NID_X9_62_prime256v1, 64, 0x00, range_msg}, {NID_secp384r1, 96, 0x01, nullptr},
      {NID_secp384r1, 98, 0x01, len_msg},          {NID_secp384r1, 104, 0x01, len_msg},
      {NID_secp384r1, 74, 0x01, len_msg},          {NID_secp521r1, 132, 0x01, nullptr},
      {NID_secp521r1, 132, 0xff, range_msg},       {NID_secp521r1, 106, 0x01, len_msg},
      {NID_secp521r1, 130, 0x01, len_msg},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(OBJ_nid2sn(c.nid) + std::string(" len ") + std::to_string(c.len) + " fill " +
                 std::to_string(c.fill));
    EC_KEY *ec = EC_KEY_new_by_curve_name(c.nid);
    ASSERT_NE(ec, nullptr);
    ASSERT_EQ(EC_KEY_generate_key(ec), 1);
    CK_ATTRIBUTE id = {CKA_ID, nullptr, 0}, label = {CKA_LABEL, nullptr, 0};
    ASSERT_EQ(pkcs11_ecdsa_wrap(&p_, 0, &id, &label, ec), 0);
    lies.sign_len = c.len;
    sign_fill = c.fill;
    clear_log();
    unsigned char digest[32] = {1};
    int size = ECDSA_size(ec);
    std::unique_ptr<unsigned char[]> der(new unsigned char[size]);
    unsigned int der_len = static_cast<unsigned int>(size);
    int ok = ECDSA_sign(0, digest, sizeof digest, der.get(), &der_len, ec);
    if (c.refusal == nullptr) {
      EXPECT_EQ(ok, 1);
      EXPECT_LE(der_len, static_cast<unsigned int>(size));
    } else {
      EXPECT_EQ(ok, 0);
      std::string want = c.refusal == len_msg ? len_msg + std::to_string(c.len) : c.refusal;
      EXPECT_TRUE(logged(want));
    }
    EC_KEY_free(ec);
  }
}

TEST_F(UntrustedTest, RsaSignatureLongerThanTheModulus) {
  RSA *rsa = RSA_new();
  BIGNUM *e = BN_new();
  BN_set_word(e, 65537);
  ASSERT_EQ(RSA_generate_key_ex(rsa, 1024, e, nullptr), 1);
  BN_free(e);
  CK_BYTE idb = 7;
  CK_ATTRIBUTE id = {CKA_ID, &idb, 1}, label = {CKA_LABEL, nullptr, 0};
  ASSERT_EQ(pkcs11_rsa_wrap(&p_, 0, &id, &label, rsa), 0);
  unsigned char in[20] = {}, out[128];
  lies.sign_len = 129;
  EXPECT_EQ(RSA_private_encrypt(sizeof in, in, out, rsa, RSA_PKCS1_PADDING), -1);
  EXPECT_TRUE(logged("pkcs11_rsa_private_encrypt: bad signature length: 129"));
  lies.sign_len = 0;  // success with nothing is no signature either
  EXPECT_EQ(RSA_private_encrypt(sizeof in, in, out, rsa, RSA_PKCS1_PADDING), -1);
  EXPECT_TRUE(logged("pkcs11_rsa_private_encrypt: bad signature length: 0"));
  lies.sign_len = 128;
  EXPECT_EQ(RSA_private_encrypt(sizeof in, in, out, rsa, RSA_PKCS1_PADDING), 128);
  RSA_free(rsa);
}

}  // namespace
