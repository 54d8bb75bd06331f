// Self-test of the mock PKCS#11 module: the other PKCS#11 tests trust its
// configuration, faults, call log and signatures, so they are checked here
// through the module's own function list, loaded with dlopen.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <p11-kit/pkcs11.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/mock_module.h"
#include "pkcs11/mock/mock_p11.h"

namespace {

using vardek::test::Bytes;
using vardek::test::to_hex;

std::string data_file(const char *name) { return std::string(VARDEK_MOCK_DATA_DIR) + "/" + name; }

// Loads the mock with a configuration text and tears everything down after
// the test, so every test starts from a freshly loaded module.
class MockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mock_.ok());
    mock_.log_calls();
  }
  void TearDown() override {
    if (f_ != nullptr) f_->C_Finalize(nullptr);
    if (handle_ != nullptr) dlclose(handle_);
  }

  void configure(const std::string &text) { mock_.configure(text); }

  // Loads the module and fetches its function list (no C_Initialize).
  void load() {
    handle_ = dlopen(VARDEK_MOCK_MODULE, RTLD_NOW);
    ASSERT_NE(handle_, nullptr) << dlerror();
    auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_, "C_GetFunctionList"));
    ASSERT_NE(get, nullptr);
    ASSERT_EQ(get(&f_), CKR_OK);
  }

  void start(const std::string &text) {
    configure(text);
    ASSERT_NO_FATAL_FAILURE(load());
    ASSERT_EQ(f_->C_Initialize(nullptr), CKR_OK);
  }

  CK_SESSION_HANDLE open(CK_SLOT_ID slot) {
    CK_SESSION_HANDLE h = 0;
    EXPECT_EQ(f_->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h),
              CKR_OK);
    return h;
  }

  std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE h, std::vector<CK_ATTRIBUTE> tmpl) {
    std::vector<CK_OBJECT_HANDLE> out;
    EXPECT_EQ(f_->C_FindObjectsInit(h, tmpl.data(), tmpl.size()), CKR_OK);
    CK_OBJECT_HANDLE obj;
    CK_ULONG n = 0;
    while (f_->C_FindObjects(h, &obj, 1, &n) == CKR_OK && n == 1) out.push_back(obj);
    EXPECT_EQ(f_->C_FindObjectsFinal(h), CKR_OK);
    return out;
  }

  // Two-pass read of one attribute; CKR_OK and the bytes, or the failure.
  CK_RV get_attr(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_TYPE type, Bytes &out) {
    CK_ATTRIBUTE a = {type, nullptr, 0};
    CK_RV rv = f_->C_GetAttributeValue(h, obj, &a, 1);
    if (rv != CKR_OK) return rv;
    out.assign(a.ulValueLen, 0);
    a.pValue = out.data();
    return f_->C_GetAttributeValue(h, obj, &a, 1);
  }

  std::vector<std::string> calls() const { return mock_.calls(); }

  vardek::test::MockModule mock_;
  void *handle_ = nullptr;
  CK_FUNCTION_LIST *f_ = nullptr;
};

CK_OBJECT_CLASS kPublic = CKO_PUBLIC_KEY;
CK_OBJECT_CLASS kPrivate = CKO_PRIVATE_KEY;
CK_OBJECT_CLASS kCert = CKO_CERTIFICATE;
CK_BBOOL kTrue = CK_TRUE;

CK_ATTRIBUTE class_attr(CK_OBJECT_CLASS &c) { return {CKA_CLASS, &c, sizeof c}; }

EVP_PKEY *read_key(const std::string &path) {
  FILE *fp = std::fopen(path.c_str(), "r");
  if (fp == nullptr) return nullptr;
  EVP_PKEY *k = PEM_read_PrivateKey(fp, nullptr, nullptr, nullptr);
  std::fclose(fp);
  return k;
}

// --- Library state and the function list --------------------------------

TEST_F(MockTest, InitialisationStates) {
  configure("slot id=1\n");
  ASSERT_NO_FATAL_FAILURE(load());
  CK_INFO info;
  EXPECT_EQ(f_->C_GetInfo(&info), CKR_CRYPTOKI_NOT_INITIALIZED);
  EXPECT_EQ(f_->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
  EXPECT_EQ(f_->C_Initialize(nullptr), CKR_OK);
  EXPECT_EQ(f_->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
  EXPECT_EQ(f_->C_Finalize(nullptr), CKR_OK);
  EXPECT_EQ(f_->C_GetInfo(&info), CKR_CRYPTOKI_NOT_INITIALIZED);
  EXPECT_EQ(f_->C_Initialize(nullptr), CKR_OK);
  // Every slot of the function list is filled; unmodelled calls say so.
  CK_ULONG n = 0;
  EXPECT_EQ(f_->C_GetMechanismList(1, nullptr, &n), CKR_FUNCTION_NOT_SUPPORTED);
  EXPECT_EQ(f_->C_WaitForSlotEvent(0, nullptr, nullptr), CKR_FUNCTION_NOT_SUPPORTED);
  const auto *fn = reinterpret_cast<void *const *>(&f_->C_Initialize);
  const auto *end = reinterpret_cast<void *const *>(&f_->C_WaitForSlotEvent);
  for (; fn <= end; fn++) EXPECT_NE(*fn, nullptr);
}

TEST_F(MockTest, BadConfigurationFailsInitialize) {
  configure("slot id=1\nobject class=public key=no-such-file.pem\n");
  ASSERT_NO_FATAL_FAILURE(load());
  EXPECT_EQ(f_->C_Initialize(nullptr), CKR_GENERAL_ERROR);
  configure("slot id=1\nfrobnicate\n");
  EXPECT_EQ(f_->C_Initialize(nullptr), CKR_GENERAL_ERROR);
  configure("object class=public\n");  // object before any slot
  EXPECT_EQ(f_->C_Initialize(nullptr), CKR_GENERAL_ERROR);
  configure("fail C_Login sometimes CKR_PIN_INCORRECT\n");
  EXPECT_EQ(f_->C_Initialize(nullptr), CKR_GENERAL_ERROR);
  f_ = nullptr;  // nothing to finalise
}

TEST_F(MockTest, NoFunctionListModule) {
  void *h = dlopen(VARDEK_MOCK_NOFUNCLIST_MODULE, RTLD_NOW);
  ASSERT_NE(h, nullptr) << dlerror();
  EXPECT_EQ(dlsym(h, "C_GetFunctionList"), nullptr);
  dlclose(h);
}

// --- Library, slot and token information -----------------------------------

TEST_F(MockTest, InfoFieldsAreBlankPadded) {
  start(
      "library manufacturer=ACME%20Corp description=Mock cryptoki=2.20 version=3.7\n"
      "slot id=7 label=tok%201 manufacturer=M model=Mod serial=0042 "
      "flags=initialized,login_required\n"
      "slot id=9 present=0\n"
      "slot id=3 label=0123456789012345678901234567890123456789\n");
  CK_INFO info;
  ASSERT_EQ(f_->C_GetInfo(&info), CKR_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(info.manufacturerID), 32),
            "ACME Corp                       ");
  EXPECT_EQ(std::string(reinterpret_cast<char *>(info.libraryDescription), 32),
            "Mock                            ");
  EXPECT_EQ(info.cryptokiVersion.major, 2);
  EXPECT_EQ(info.cryptokiVersion.minor, 20);
  EXPECT_EQ(info.libraryVersion.major, 3);
  EXPECT_EQ(info.libraryVersion.minor, 7);

  CK_ULONG n = 0;
  ASSERT_EQ(f_->C_GetSlotList(CK_TRUE, nullptr, &n), CKR_OK);
  EXPECT_EQ(n, 2u);
  CK_SLOT_ID ids[4] = {};
  n = 1;
  EXPECT_EQ(f_->C_GetSlotList(CK_TRUE, ids, &n), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(n, 2u);
  n = 4;
  ASSERT_EQ(f_->C_GetSlotList(CK_TRUE, ids, &n), CKR_OK);
  ASSERT_EQ(n, 2u);
  EXPECT_EQ(ids[0], 7u);
  EXPECT_EQ(ids[1], 3u);
  ASSERT_EQ(f_->C_GetSlotList(CK_FALSE, nullptr, &n), CKR_OK);
  EXPECT_EQ(n, 3u);

  CK_TOKEN_INFO ti;
  ASSERT_EQ(f_->C_GetTokenInfo(7, &ti), CKR_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(ti.label), 32), "tok 1" + std::string(27, ' '));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(ti.model), 16), "Mod" + std::string(13, ' '));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(ti.serialNumber), 16),
            "0042" + std::string(12, ' '));
  EXPECT_EQ(ti.flags, CKF_TOKEN_INITIALIZED | CKF_LOGIN_REQUIRED);
  ASSERT_EQ(f_->C_GetTokenInfo(3, &ti), CKR_OK);  // cut to the width, no padding left
  EXPECT_EQ(std::string(reinterpret_cast<char *>(ti.label), 32),
            "01234567890123456789012345678901");
  EXPECT_EQ(ti.flags, CKF_TOKEN_INITIALIZED);
  EXPECT_EQ(f_->C_GetTokenInfo(9, &ti), CKR_TOKEN_NOT_PRESENT);
  EXPECT_EQ(f_->C_GetTokenInfo(8, &ti), CKR_SLOT_ID_INVALID);
}

TEST_F(MockTest, SlotCountLie) {
  start("slot id=1\nslot id=2\ngetslotlist_count 0\n");
  CK_ULONG n = 5;
  ASSERT_EQ(f_->C_GetSlotList(CK_TRUE, nullptr, &n), CKR_OK);
  EXPECT_EQ(n, 0u);
  // Claiming more than exist: the list query writes what exists.
  ASSERT_EQ(f_->C_Finalize(nullptr), CKR_OK);
  configure("slot id=1\nslot id=2\ngetslotlist_count 5\n");
  ASSERT_EQ(f_->C_Initialize(nullptr), CKR_OK);
  ASSERT_EQ(f_->C_GetSlotList(CK_TRUE, nullptr, &n), CKR_OK);
  EXPECT_EQ(n, 5u);
  CK_SLOT_ID ids[5] = {};
  ASSERT_EQ(f_->C_GetSlotList(CK_TRUE, ids, &n), CKR_OK);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(ids[1], 2u);
}

// --- Sessions and login ----------------------------------------------------

TEST_F(MockTest, SessionsAndLogin) {
  start(
      "slot id=1 flags=initialized,login_required pin=9876\n"
      "object class=public label=pub\n"
      "object class=private label=priv key=" +
      data_file("ec256.pem") + "\n");
  CK_SESSION_HANDLE h = 0;
  EXPECT_EQ(f_->C_OpenSession(1, CKF_RW_SESSION, nullptr, nullptr, &h),
            CKR_SESSION_PARALLEL_NOT_SUPPORTED);
  EXPECT_EQ(f_->C_OpenSession(2, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_SLOT_ID_INVALID);
  h = open(1);
  ASSERT_NE(h, 0u);
  // Session handle 0 is never valid.
  EXPECT_EQ(f_->C_FindObjectsInit(0, nullptr, 0), CKR_SESSION_HANDLE_INVALID);
  EXPECT_EQ(f_->C_FindObjectsFinal(0), CKR_SESSION_HANDLE_INVALID);
  EXPECT_EQ(f_->C_Login(0, CKU_USER, nullptr, 0), CKR_SESSION_HANDLE_INVALID);

  // The private key is hidden until the user logs in.
  EXPECT_EQ(find(h, {}).size(), 1u);
  EXPECT_EQ(f_->C_Login(h, CKU_USER, (CK_UTF8CHAR *)"1234", 4), CKR_PIN_INCORRECT);
  EXPECT_EQ(f_->C_Login(h, CKU_SO, (CK_UTF8CHAR *)"9876", 4), CKR_USER_TYPE_INVALID);
  EXPECT_EQ(f_->C_Login(h, CKU_USER, (CK_UTF8CHAR *)"9876", 4), CKR_OK);
  EXPECT_EQ(f_->C_Login(h, CKU_USER, (CK_UTF8CHAR *)"9876", 4), CKR_USER_ALREADY_LOGGED_IN);
  EXPECT_EQ(find(h, {}).size(), 2u);

  // Closing the last session of the slot ends the login.
  EXPECT_EQ(f_->C_CloseSession(h), CKR_OK);
  EXPECT_EQ(f_->C_CloseSession(h), CKR_SESSION_HANDLE_INVALID);
  CK_SESSION_HANDLE h2 = open(1);
  EXPECT_NE(h2, h);
  EXPECT_EQ(find(h2, {}).size(), 1u);
}

// --- Objects and attributes ------------------------------------------------

TEST_F(MockTest, FindObjectsByTemplate) {
  start(
      "slot id=1\n"
      "object class=public key=" +
      data_file("rsa2048.pem") +
      " id=0102 label=rsa\n"
      "object class=private key=" +
      data_file("rsa2048.pem") +
      " id=0102 label=rsa sign=0\n"
      "object class=private key=" +
      data_file("ec256.pem") +
      " id=03 label=ec\n"
      "object class=certificate cert=" +
      data_file("ec256.crt") +
      " id=03 label=ec\n"
      "slot id=2\n"
      "object class=public key=" +
      data_file("ec384.pem") + " id=0102\n");
  CK_SESSION_HANDLE h = open(1);
  CK_BYTE id12[] = {1, 2};
  CK_BYTE id3[] = {3};
  char ec[] = "ec";
  EXPECT_EQ(find(h, {class_attr(kPublic)}), (std::vector<CK_OBJECT_HANDLE>{1}));
  EXPECT_EQ(find(h, {class_attr(kPrivate)}), (std::vector<CK_OBJECT_HANDLE>{2, 3}));
  EXPECT_EQ(find(h, {class_attr(kPrivate), {CKA_ID, id12, 2}, {CKA_SIGN, &kTrue, 1}}),
            (std::vector<CK_OBJECT_HANDLE>{}));
  EXPECT_EQ(find(h, {class_attr(kPrivate), {CKA_ID, id12, 2}}), (std::vector<CK_OBJECT_HANDLE>{2}));
  EXPECT_EQ(find(h, {{CKA_ID, id3, 1}, {CKA_LABEL, ec, 2}}), (std::vector<CK_OBJECT_HANDLE>{3, 4}));
  EXPECT_EQ(find(h, {class_attr(kCert), {CKA_LABEL, ec, 1}}), (std::vector<CK_OBJECT_HANDLE>{}));
  // The other slot's objects are neither found nor readable here.
  EXPECT_EQ(find(h, {{CKA_ID, id12, 2}}), (std::vector<CK_OBJECT_HANDLE>{1, 2}));
  Bytes v;
  EXPECT_EQ(get_attr(h, 5, CKA_ID, v), CKR_OBJECT_HANDLE_INVALID);

  // Find-operation state.
  CK_ULONG n;
  CK_OBJECT_HANDLE obj;
  EXPECT_EQ(f_->C_FindObjects(h, &obj, 1, &n), CKR_OPERATION_NOT_INITIALIZED);
  EXPECT_EQ(f_->C_FindObjectsInit(h, nullptr, 0), CKR_OK);
  EXPECT_EQ(f_->C_FindObjectsInit(h, nullptr, 0), CKR_OPERATION_ACTIVE);
  EXPECT_EQ(f_->C_FindObjectsFinal(h), CKR_OK);
  EXPECT_EQ(f_->C_FindObjectsFinal(h), CKR_OPERATION_NOT_INITIALIZED);
}

TEST_F(MockTest, AttributeReadsFollowTheTwoPassRules) {
  start(
      "slot id=1\n"
      "object class=public keytype=rsa label=abc attr.modulus=00ff attr.public_exponent=010001\n"
      "object class=public keytype=rsa label=abcdef small_buffer=ok noattr=CKA_ID\n"
      "object class=public label=abcdef small_buffer=unavailable\n");
  CK_SESSION_HANDLE h = open(1);
  CK_KEY_TYPE kt = 99;
  char label[4] = {};
  CK_ATTRIBUTE t[3] = {{CKA_KEY_TYPE, nullptr, 0}, {CKA_LABEL, nullptr, 0}, {CKA_ID, nullptr, 0}};
  ASSERT_EQ(f_->C_GetAttributeValue(h, 1, t, 3), CKR_OK);
  EXPECT_EQ(t[0].ulValueLen, sizeof(CK_KEY_TYPE));
  EXPECT_EQ(t[1].ulValueLen, 3u);
  EXPECT_EQ(t[2].ulValueLen, 0u);  // present, empty
  t[0].pValue = &kt;
  t[1].pValue = label;
  t[1].ulValueLen = 2;  // too small
  EXPECT_EQ(f_->C_GetAttributeValue(h, 1, t, 2), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(kt, CKK_RSA);  // the other attributes are still filled
  EXPECT_EQ(t[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
  t[1].ulValueLen = 4;
  ASSERT_EQ(f_->C_GetAttributeValue(h, 1, t, 2), CKR_OK);
  EXPECT_EQ(std::string(label, t[1].ulValueLen), "abc");
  Bytes v;
  ASSERT_EQ(get_attr(h, 1, CKA_MODULUS, v), CKR_OK);
  EXPECT_EQ(to_hex(v), "00 ff");

  // Missing attribute.
  CK_ATTRIBUTE id = {CKA_ID, nullptr, 0};
  EXPECT_EQ(f_->C_GetAttributeValue(h, 2, &id, 1), CKR_ATTRIBUTE_TYPE_INVALID);
  EXPECT_EQ(id.ulValueLen, CK_UNAVAILABLE_INFORMATION);
  EXPECT_EQ(get_attr(h, 1, CKA_EC_POINT, v), CKR_ATTRIBUTE_TYPE_INVALID);

  // A token that lies about a too-small buffer: fills what fits, says OK and
  // reports the real length ...
  char small[8];
  std::memset(small, 'x', sizeof small);
  CK_ATTRIBUTE lab = {CKA_LABEL, small, 3};
  EXPECT_EQ(f_->C_GetAttributeValue(h, 2, &lab, 1), CKR_OK);
  EXPECT_EQ(lab.ulValueLen, 6u);
  EXPECT_EQ(std::string(small, 4), "abcx");  // nothing written past the buffer
  // ... or answers OK with CK_UNAVAILABLE_INFORMATION.
  lab = {CKA_LABEL, small, 3};
  EXPECT_EQ(f_->C_GetAttributeValue(h, 3, &lab, 1), CKR_OK);
  EXPECT_EQ(lab.ulValueLen, CK_UNAVAILABLE_INFORMATION);
  EXPECT_EQ(f_->C_GetAttributeValue(h, 99, &lab, 1), CKR_OBJECT_HANDLE_INVALID);
}

TEST_F(MockTest, KeyMaterialAttributes) {
  start(
      "slot id=1\n"
      "object class=public key=" +
      data_file("rsa2048.pem") +
      "\n"
      "object class=public key=" +
      data_file("ec256.pem") +
      "\n"
      "object class=certificate cert=" +
      data_file("rsa2048.der") +
      " label=c\n"
      "object class=certificate cert=" +
      data_file("ec256.crt") +
      "\n"
      "object class=public key=" +
      data_file("secp256k1.pem") + " attr.ec_point=0441\n");
  CK_SESSION_HANDLE h = open(1);
  EVP_PKEY *rsa = read_key(data_file("rsa2048.pem"));
  ASSERT_NE(rsa, nullptr);
  BIGNUM *n = nullptr;
  ASSERT_EQ(EVP_PKEY_get_bn_param(rsa, OSSL_PKEY_PARAM_RSA_N, &n), 1);
  Bytes want(static_cast<size_t>(BN_num_bytes(n)));
  BN_bn2bin(n, want.data());
  BN_free(n);
  EVP_PKEY_free(rsa);
  Bytes v;
  ASSERT_EQ(get_attr(h, 1, CKA_MODULUS, v), CKR_OK);
  EXPECT_EQ(v, want);
  ASSERT_EQ(get_attr(h, 1, CKA_PUBLIC_EXPONENT, v), CKR_OK);
  EXPECT_EQ(to_hex(v), "01 00 01");
  ASSERT_EQ(get_attr(h, 1, CKA_KEY_TYPE, v), CKR_OK);
  EXPECT_EQ(v, Bytes(sizeof(CK_ULONG), 0));  // CKK_RSA

  // EC: named-curve OID of P-256; point 04||X||Y inside an OCTET STRING.
  ASSERT_EQ(get_attr(h, 2, CKA_EC_PARAMS, v), CKR_OK);
  EXPECT_EQ(to_hex(v), "06 08 2a 86 48 ce 3d 03 01 07");
  ASSERT_EQ(get_attr(h, 2, CKA_EC_POINT, v), CKR_OK);
  ASSERT_EQ(v.size(), 67u);
  EXPECT_EQ(to_hex(Bytes(v.begin(), v.begin() + 3)), "04 41 04");

  // Certificates: DER value whose subject matches CKA_SUBJECT.
  ASSERT_EQ(get_attr(h, 3, CKA_VALUE, v), CKR_OK);
  std::ifstream der(data_file("rsa2048.der"), std::ios::binary);
  Bytes file((std::istreambuf_iterator<char>(der)), {});
  EXPECT_EQ(v, file);
  ASSERT_EQ(get_attr(h, 4, CKA_SUBJECT, v), CKR_OK);
  const unsigned char *p = v.data();
  X509_NAME *name = d2i_X509_NAME(nullptr, &p, static_cast<long>(v.size()));
  ASSERT_NE(name, nullptr);
  char *line = X509_NAME_oneline(name, nullptr, 0);
  EXPECT_STREQ(line, "/CN=vardek test ec256/O=vardek tests");
  OPENSSL_free(line);
  X509_NAME_free(name);
  ASSERT_EQ(get_attr(h, 4, CKA_CERTIFICATE_TYPE, v), CKR_OK);
  EXPECT_EQ(v, Bytes(sizeof(CK_ULONG), 0));  // CKC_X_509

  // Raw overrides win over derived values.
  ASSERT_EQ(get_attr(h, 5, CKA_EC_POINT, v), CKR_OK);
  EXPECT_EQ(to_hex(v), "04 41");
  ASSERT_EQ(get_attr(h, 5, CKA_EC_PARAMS, v), CKR_OK);
  EXPECT_EQ(to_hex(v), "06 05 2b 81 04 00 0a");  // secp256k1
}

// --- Signatures --------------------------------------------------------------

TEST_F(MockTest, RsaSignatureIsPkcs1Type1OfTheGivenBytes) {
  start(
      "slot id=1\n"
      "object class=private key=" +
      data_file("rsa2048.pem") +
      " id=01\n"
      "object class=private key=" +
      data_file("rsa2048.pem") +
      " id=02 sign=0\n"
      "object class=public key=" +
      data_file("rsa2048.pem") + " id=03\n");
  CK_SESSION_HANDLE h = open(1);
  CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
  CK_BYTE data[35];
  for (size_t i = 0; i < sizeof data; i++) data[i] = static_cast<CK_BYTE>(i * 7);
  CK_ULONG len = 0;
  EXPECT_EQ(f_->C_Sign(h, data, sizeof data, nullptr, &len), CKR_OPERATION_NOT_INITIALIZED);
  ASSERT_EQ(f_->C_SignInit(h, &mech, 1), CKR_OK);
  EXPECT_EQ(f_->C_SignInit(h, &mech, 1), CKR_OPERATION_ACTIVE);
  ASSERT_EQ(f_->C_Sign(h, data, sizeof data, nullptr, &len), CKR_OK);
  EXPECT_EQ(len, 256u);
  Bytes sig(256);
  len = 100;
  EXPECT_EQ(f_->C_Sign(h, data, sizeof data, sig.data(), &len), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 256u);
  ASSERT_EQ(f_->C_Sign(h, data, sizeof data, sig.data(), &len), CKR_OK);
  EXPECT_EQ(f_->C_Sign(h, data, sizeof data, sig.data(), &len), CKR_OPERATION_NOT_INITIALIZED);

  // Recovering the signed bytes with the public key gives the input back.
  EVP_PKEY *key = read_key(data_file("rsa2048.pem"));
  ASSERT_NE(key, nullptr);
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(key, nullptr);
  ASSERT_EQ(EVP_PKEY_verify_recover_init(ctx), 1);
  ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING), 1);
  Bytes rec(256);
  size_t rlen = rec.size();
  ASSERT_EQ(EVP_PKEY_verify_recover(ctx, rec.data(), &rlen, sig.data(), len), 1);
  EXPECT_EQ(Bytes(rec.begin(), rec.begin() + static_cast<long>(rlen)), Bytes(data, data + 35));
  EVP_PKEY_CTX_free(ctx);
  EVP_PKEY_free(key);

  CK_MECHANISM ecdsa = {CKM_ECDSA, nullptr, 0};
  EXPECT_EQ(f_->C_SignInit(h, &ecdsa, 1), CKR_KEY_TYPE_INCONSISTENT);
  EXPECT_EQ(f_->C_SignInit(h, &mech, 2), CKR_KEY_FUNCTION_NOT_PERMITTED);
  EXPECT_EQ(f_->C_SignInit(h, &mech, 3), CKR_KEY_FUNCTION_NOT_PERMITTED);
  CK_MECHANISM pss = {CKM_RSA_PKCS_PSS, nullptr, 0};
  EXPECT_EQ(f_->C_SignInit(h, &pss, 1), CKR_MECHANISM_INVALID);
  // Too long for PKCS#1 type 1 padding in 256 bytes.
  Bytes big(246, 1);
  ASSERT_EQ(f_->C_SignInit(h, &mech, 1), CKR_OK);
  len = sig.size();
  EXPECT_EQ(f_->C_Sign(h, big.data(), big.size(), sig.data(), &len), CKR_DATA_LEN_RANGE);
}

// Verifies a raw r||s signature over `digest` with the public key of `pem`.
void expect_ecdsa_valid(const std::string &pem, const Bytes &digest, const Bytes &raw) {
  EVP_PKEY *key = read_key(pem);
  ASSERT_NE(key, nullptr);
  size_t half = raw.size() / 2;
  ECDSA_SIG *es = ECDSA_SIG_new();
  ECDSA_SIG_set0(es, BN_bin2bn(raw.data(), static_cast<int>(half), nullptr),
                 BN_bin2bn(raw.data() + half, static_cast<int>(half), nullptr));
  unsigned char *der = nullptr;
  int dlen = i2d_ECDSA_SIG(es, &der);
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(key, nullptr);
  ASSERT_EQ(EVP_PKEY_verify_init(ctx), 1);
  EXPECT_EQ(EVP_PKEY_verify(ctx, der, static_cast<size_t>(dlen), digest.data(), digest.size()), 1);
  EVP_PKEY_CTX_free(ctx);
  OPENSSL_free(der);
  ECDSA_SIG_free(es);
  EVP_PKEY_free(key);
}

TEST_F(MockTest, EcdsaSignatureIsRawRS) {
  start(
      "slot id=1\n"
      "object class=private key=" +
      data_file("ec256.pem") +
      " id=01\n"
      "object class=private key=" +
      data_file("ec384.pem") +
      " id=02\n"
      "object class=private key=" +
      data_file("ec521.pem") + " id=03\n");
  CK_SESSION_HANDLE h = open(1);
  CK_MECHANISM mech = {CKM_ECDSA, nullptr, 0};
  Bytes digest(32);
  for (size_t i = 0; i < digest.size(); i++) digest[i] = static_cast<uint8_t>(0xa0 + i);
  const struct {
    CK_OBJECT_HANDLE obj;
    const char *pem;
    size_t len;
  } cases[] = {{1, "ec256.pem", 64}, {2, "ec384.pem", 96}, {3, "ec521.pem", 132}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.pem);
    ASSERT_EQ(f_->C_SignInit(h, &mech, c.obj), CKR_OK);
    Bytes sig(200);
    CK_ULONG len = sig.size();
    ASSERT_EQ(f_->C_Sign(h, digest.data(), digest.size(), sig.data(), &len), CKR_OK);
    ASSERT_EQ(len, c.len);
    sig.resize(len);
    expect_ecdsa_valid(data_file(c.pem), digest, sig);
  }
  CK_MECHANISM rsa = {CKM_RSA_PKCS, nullptr, 0};
  EXPECT_EQ(f_->C_SignInit(h, &rsa, 1), CKR_KEY_TYPE_INCONSISTENT);
}

TEST_F(MockTest, EcdsaSignatureLengthFault) {
  start("slot id=1\nobject class=private key=" + data_file("ec521.pem") + "\nec_sig_len 134\n");
  CK_SESSION_HANDLE h = open(1);
  CK_MECHANISM mech = {CKM_ECDSA, nullptr, 0};
  Bytes digest(32, 0x11), sig(139, 0xee);
  ASSERT_EQ(f_->C_SignInit(h, &mech, 1), CKR_OK);
  CK_ULONG len = 133;
  EXPECT_EQ(f_->C_Sign(h, digest.data(), digest.size(), sig.data(), &len), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 134u);
  len = sig.size();
  ASSERT_EQ(f_->C_Sign(h, digest.data(), digest.size(), sig.data(), &len), CKR_OK);
  EXPECT_EQ(len, 134u);
  EXPECT_EQ(to_hex(&sig[132], 3), "00 00 ee");  // padded with zeros, nothing beyond
  sig.resize(132);
  expect_ecdsa_valid(data_file("ec521.pem"), digest, sig);
}

TEST_F(MockTest, AlwaysAuthenticateNeedsContextLogin) {
  start("slot id=1 pin=0000\nobject class=private key=" + data_file("ec256.pem") +
        " always_auth=1\n");
  CK_SESSION_HANDLE h = open(1);
  CK_MECHANISM mech = {CKM_ECDSA, nullptr, 0};
  Bytes digest(32, 1), sig(64);
  CK_ULONG len = sig.size();
  EXPECT_EQ(f_->C_Login(h, CKU_CONTEXT_SPECIFIC, (CK_UTF8CHAR *)"0000", 4),
            CKR_OPERATION_NOT_INITIALIZED);
  ASSERT_EQ(f_->C_SignInit(h, &mech, 1), CKR_OK);
  EXPECT_EQ(f_->C_Sign(h, digest.data(), digest.size(), sig.data(), &len), CKR_USER_NOT_LOGGED_IN);
  ASSERT_EQ(f_->C_SignInit(h, &mech, 1), CKR_OK);
  ASSERT_EQ(f_->C_Login(h, CKU_CONTEXT_SPECIFIC, (CK_UTF8CHAR *)"0000", 4), CKR_OK);
  EXPECT_EQ(f_->C_Sign(h, digest.data(), digest.size(), sig.data(), &len), CKR_OK);
}

// --- Faults ------------------------------------------------------------------

TEST_F(MockTest, FaultsByCallNumber) {
  start(
      "slot id=1\nobject class=public label=a\n"
      "fail C_OpenSession 2 CKR_DEVICE_ERROR\n"
      "fail C_Login always 0xa0\n"
      "fail C_FindObjects from=2 CKR_FUNCTION_FAILED\n"
      "fail C_GetAttributeValue size CKR_DEVICE_REMOVED\n"
      "fail C_CloseSession always CKR_SESSION_CLOSED\n");
  CK_SESSION_HANDLE h = 0, h2 = 0, h3 = 0;
  EXPECT_EQ(f_->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_OK);
  EXPECT_EQ(f_->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &h2), CKR_DEVICE_ERROR);
  EXPECT_EQ(h2, 0u);
  EXPECT_EQ(f_->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &h3), CKR_OK);
  EXPECT_EQ(f_->C_Login(h, CKU_USER, (CK_UTF8CHAR *)"1234", 4), CKR_PIN_INCORRECT);
  EXPECT_EQ(f_->C_Login(h, CKU_USER, (CK_UTF8CHAR *)"1234", 4), CKR_PIN_INCORRECT);
  ASSERT_EQ(f_->C_FindObjectsInit(h, nullptr, 0), CKR_OK);
  CK_OBJECT_HANDLE obj;
  CK_ULONG n = 0;
  EXPECT_EQ(f_->C_FindObjects(h, &obj, 1, &n), CKR_OK);
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(f_->C_FindObjects(h, &obj, 1, &n), CKR_FUNCTION_FAILED);
  EXPECT_EQ(f_->C_FindObjects(h, &obj, 1, &n), CKR_FUNCTION_FAILED);
  EXPECT_EQ(f_->C_FindObjectsFinal(h), CKR_OK);
  CK_ATTRIBUTE a = {CKA_LABEL, nullptr, 0};
  EXPECT_EQ(f_->C_GetAttributeValue(h, 1, &a, 1), CKR_DEVICE_REMOVED);
  char buf[4];
  a = {CKA_LABEL, buf, sizeof buf};
  EXPECT_EQ(f_->C_GetAttributeValue(h, 1, &a, 1), CKR_OK);  // the data query passes
  EXPECT_EQ(a.ulValueLen, 1u);
  EXPECT_EQ(f_->C_CloseSession(h), CKR_SESSION_CLOSED);
}

TEST_F(MockTest, FaultOnNthCallOverall) {
  // Walks the failure through every position of a short call sequence.
  for (int pos = 1; pos <= 4; pos++) {
    SCOPED_TRACE(pos);
    configure("slot id=1\nfail any " + std::to_string(pos) + " CKR_GENERAL_ERROR\n");
    if (f_ == nullptr) {
      ASSERT_NO_FATAL_FAILURE(load());
    }
    ASSERT_EQ(f_->C_Initialize(nullptr), CKR_OK);
    CK_INFO info;
    CK_ULONG n;
    CK_TOKEN_INFO ti;
    CK_SESSION_HANDLE h;
    CK_RV rv[4] = {f_->C_GetInfo(&info), f_->C_GetSlotList(CK_TRUE, nullptr, &n),
                   f_->C_GetTokenInfo(1, &ti),
                   f_->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &h)};
    for (int i = 0; i < 4; i++) EXPECT_EQ(rv[i], i + 1 == pos ? CKR_GENERAL_ERROR : CKR_OK);
    ASSERT_EQ(f_->C_Finalize(nullptr), CKR_OK);
  }
}

TEST_F(MockTest, InitializeAndFunctionListFaults) {
  configure("fail C_GetFunctionList 1 CKR_HOST_MEMORY\nfail C_Initialize 1 CKR_DEVICE_ERROR\n");
  handle_ = dlopen(VARDEK_MOCK_MODULE, RTLD_NOW);
  ASSERT_NE(handle_, nullptr);
  auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_, "C_GetFunctionList"));
  ASSERT_NE(get, nullptr);
  EXPECT_EQ(get(&f_), CKR_HOST_MEMORY);
  ASSERT_EQ(get(&f_), CKR_OK);
  EXPECT_EQ(f_->C_Initialize(nullptr), CKR_DEVICE_ERROR);
  CK_INFO info;
  EXPECT_EQ(f_->C_GetInfo(&info), CKR_CRYPTOKI_NOT_INITIALIZED);
  EXPECT_EQ(f_->C_Initialize(nullptr), CKR_OK);
  EXPECT_EQ(calls(), (std::vector<std::string>{"C_GetFunctionList", "C_GetFunctionList",
                                               "C_Initialize", "C_GetInfo", "C_Initialize"}));
}

// A reloaded module starts counting afresh (dlclose really unloads it).
TEST_F(MockTest, ReloadResetsCounters) {
  for (int round = 0; round < 2; round++) {
    SCOPED_TRACE(round);
    configure("fail C_Initialize 1 CKR_DEVICE_ERROR\n");
    ASSERT_NO_FATAL_FAILURE(load());
    EXPECT_EQ(f_->C_Initialize(nullptr), CKR_DEVICE_ERROR);
    EXPECT_EQ(f_->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(f_->C_Finalize(nullptr), CKR_OK);
    f_ = nullptr;
    dlclose(handle_);
    handle_ = nullptr;
  }
}

// --- Call log ----------------------------------------------------------------

TEST_F(MockTest, CallLogRecordsEveryCall) {
  start(
      "slot id=4 flags=initialized,login_required\n"
      "object class=public key=" +
      data_file("ec256.pem") +
      " id=0a0b label=k\n"
      "object class=private key=" +
      data_file("ec256.pem") + " id=0a0b label=k\n");
  CK_INFO info;
  f_->C_GetInfo(&info);
  CK_ULONG n = 0;
  f_->C_GetSlotList(CK_TRUE, nullptr, &n);
  CK_SLOT_ID slot;
  f_->C_GetSlotList(CK_TRUE, &slot, &n);
  CK_TOKEN_INFO ti;
  f_->C_GetTokenInfo(4, &ti);
  CK_SESSION_HANDLE h = open(4);
  f_->C_Login(h, CKU_USER, (CK_UTF8CHAR *)"1234", 4);
  CK_BYTE id[] = {0x0a, 0x0b};
  char label[] = "k";
  find(h, {class_attr(kPrivate), {CKA_ID, id, 2}, {CKA_SIGN, &kTrue, 1}, {CKA_LABEL, label, 1}});
  CK_KEY_TYPE kt;
  CK_ATTRIBUTE t[2] = {{CKA_KEY_TYPE, nullptr, 0}, {CKA_EC_POINT, nullptr, 0}};
  f_->C_GetAttributeValue(h, 2, t, 2);
  t[0].pValue = &kt;
  f_->C_GetAttributeValue(h, 2, t, 1);
  CK_MECHANISM mech = {CKM_ECDSA, nullptr, 0};
  f_->C_SignInit(h, &mech, 2);
  Bytes digest(32, 5), sig(64);
  CK_ULONG len = sig.size();
  f_->C_Sign(h, digest.data(), digest.size(), sig.data(), &len);
  f_->C_CloseSession(h);
  f_->C_Finalize(nullptr);
  f_ = nullptr;
  EXPECT_EQ(calls(), (std::vector<std::string>{
                         "C_GetFunctionList",
                         "C_Initialize",
                         "C_GetInfo",
                         "C_GetSlotList present=1 list=null",
                         "C_GetSlotList present=1 list=1",
                         "C_GetTokenInfo slot=4",
                         "C_OpenSession slot=4 flags=0x6",
                         "C_Login h=1 user=1 pin_len=4",
                         "C_FindObjectsInit h=1 CKA_CLASS=3 CKA_ID=0a0b CKA_SIGN=1 CKA_LABEL=6b",
                         "C_FindObjects h=1 max=1",
                         "C_FindObjects h=1 max=1",
                         "C_FindObjectsFinal h=1",
                         "C_GetAttributeValue h=1 obj=2 CKA_KEY_TYPE CKA_EC_POINT (size)",
                         "C_GetAttributeValue h=1 obj=2 CKA_KEY_TYPE",
                         "C_SignInit h=1 mech=0x1041 obj=2",
                         "C_Sign h=1 len=32",
                         "C_CloseSession h=1",
                         "C_Finalize",
                     }));
  EXPECT_EQ(vardek::mock::count_calls(calls(), "C_FindObjects "), 2u);
}

}  // namespace
