// Key discovery through the mock module: which objects become keys, with
// which labels, and how malformed objects and lying tokens are refused
// without reading past any buffer.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "common/bytes.h"
#include "provider_fixture.h"

namespace {

using vardek::test::KeySet;
using vardek::test::ProviderTest;

using FetchTest = ProviderTest;

std::string pub(const char *pem, const std::string &extra = "") {
  return "object class=public key=" + ProviderTest::data(pem) + " " + extra + "\n";
}

// Adds the mock with `config` and returns what it yields.
int add(KeySet &ks, const std::string &name = "") {
  std::string n = name.empty() ? ProviderTest::mock_module() : name;
  ks.n = pkcs11_add_provider(n.c_str(), "", &ks.keys, &ks.labels);
  return ks.n;
}

EVP_PKEY *read_private(const std::string &path) {
  FILE *fp = fopen(path.c_str(), "r");
  if (fp == nullptr) return nullptr;
  EVP_PKEY *k = PEM_read_PrivateKey(fp, nullptr, nullptr, nullptr);
  fclose(fp);
  return k;
}

// The key's public part equals that of the PEM file.
bool same_public(const sshkey *k, const std::string &pem) {
  EVP_PKEY *ref = read_private(pem);
  if (ref == nullptr) return false;
  bool same = false;
  if (k->type == KEY_TYPE_RSA) {
    const RSA *r = EVP_PKEY_get0_RSA(ref);
    const BIGNUM *n1, *e1, *n2, *e2;
    RSA_get0_key(r, &n1, &e1, nullptr);
    RSA_get0_key(k->rsa, &n2, &e2, nullptr);
    same = BN_cmp(n1, n2) == 0 && BN_cmp(e1, e2) == 0;
  } else if (k->type == KEY_TYPE_ECDSA) {
    const EC_KEY *e = EVP_PKEY_get0_EC_KEY(ref);
    const EC_GROUP *g = EC_KEY_get0_group(e);
    same =
        EC_GROUP_cmp(g, EC_KEY_get0_group(k->ecdsa), nullptr) == 0 &&
        EC_POINT_cmp(g, EC_KEY_get0_public_key(e), EC_KEY_get0_public_key(k->ecdsa), nullptr) == 0;
  }
  EVP_PKEY_free(ref);
  return same;
}

TEST_F(FetchTest, PublicKeysOfEveryCurveAndRsa) {
  mock_config("slot id=1\n" + pub("rsa2048.pem", "id=01 label=r") +
              pub("ec256.pem", "id=02 label=p256") + pub("ec384.pem", "id=03 label=p384") +
              pub("ec521.pem", "id=04 label=p521"));
  KeySet ks;
  ASSERT_EQ(add(ks), 4);
  EXPECT_EQ(ks.label_list(), (std::vector<std::string>{"r", "p256", "p384", "p521"}));
  EXPECT_TRUE(same_public(ks.keys[0], data("rsa2048.pem")));
  EXPECT_TRUE(same_public(ks.keys[1], data("ec256.pem")));
  EXPECT_TRUE(same_public(ks.keys[2], data("ec384.pem")));
  EXPECT_TRUE(same_public(ks.keys[3], data("ec521.pem")));
  EXPECT_EQ(ks.keys[1]->ecdsa_nid, NID_X9_62_prime256v1);
  EXPECT_EQ(ks.keys[2]->ecdsa_nid, NID_secp384r1);
  EXPECT_EQ(ks.keys[3]->ecdsa_nid, NID_secp521r1);
  for (int i = 0; i < 4; i++)
    EXPECT_EQ(ks.keys[i]->flags, static_cast<uint32_t>(KEY_FLAG_ON_TOKEN));
  EXPECT_TRUE(logged("debug1: have 4 keys"));
}

TEST_F(FetchTest, NoteKeyLineCarriesTheFingerprint) {
  mock_config("slot id=1\n" + pub("ec256.pem", "id=02 label=p256"));
  KeySet ks;
  ASSERT_EQ(add(ks), 1);
  char *fp = sshkey_fingerprint(ks.keys[0]);
  ASSERT_NE(fp, nullptr);
  EXPECT_EQ(strlen(fp), 50u);
  EXPECT_TRUE(logged(std::string("debug2: pkcs11_fetch_keys: provider pkcs11:?module-path=") +
                     mock_module() + " slot 0: ECDSA " + fp));
  free(fp);
}

TEST_F(FetchTest, CertificatesDedupAndSubjectLabels) {
  // The cert of the public key dedups to it; the foreign cert yields its
  // subject as label.
  mock_config("slot id=1\n" + pub("ec256.pem", "id=02 label=pubobj") +
              "object class=certificate cert=" + data("ec256.crt") +
              " id=02 label=certobj\n"
              "object class=certificate cert=" +
              data("rsa2048.der") + " id=09 label=foreign\n");
  KeySet ks;
  ASSERT_EQ(add(ks), 2);
  ASSERT_EQ(ks.label_list().size(), 2u);
  EXPECT_EQ(ks.label_list()[0], "pubobj");
  EXPECT_EQ(ks.label_list()[1].substr(0, 1), "/");
  EXPECT_TRUE(logged("debug2: pkcs11_fetch_certs: key already included"));
  EXPECT_TRUE(same_public(ks.keys[1], data("rsa2048.pem")));

  // The label is X509_NAME_oneline of the certificate's subject.
  FILE *f = fopen(data("rsa2048.der").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  X509 *x = d2i_X509_fp(f, nullptr);
  fclose(f);
  ASSERT_NE(x, nullptr);
  char *one = X509_NAME_oneline(X509_get_subject_name(x), nullptr, 0);
  EXPECT_EQ(ks.label_list()[1], one);
  OPENSSL_free(one);
  X509_free(x);
}

TEST_F(FetchTest, SubjectThatDoesNotDecode) {
  mock_config("slot id=1\nobject class=certificate cert=" + data("rsa2048.der") +
              " id=09 label=c attr.CKA_SUBJECT=0102\n");
  KeySet ks;
  ASSERT_EQ(add(ks), 1);
  EXPECT_EQ(ks.label_list(), (std::vector<std::string>{"invalid subject"}));
}

TEST_F(FetchTest, EmptyLabels) {
  mock_config("slot id=1\n" + pub("ec256.pem", "id=02") +
              "object class=certificate cert=" + data("rsa2048.der") + " id=09\n");
  KeySet ks;
  ASSERT_EQ(add(ks), 1);
  EXPECT_EQ(ks.label_list(), (std::vector<std::string>{""}));
  // A certificate needs a label.
  long a = log_index("invalid attribute length");
  EXPECT_GE(a, 0);
  EXPECT_GT(log_index("failed to fetch key", a), a);
}

TEST_F(FetchTest, UnsupportedTypes) {
  mock_config("slot id=1\nobject class=public keytype=dsa id=01 label=d\n" +
              pub("ec256.pem", "id=02 label=e") +
              "object class=certificate certtype=1 id=03 label=wtls\n");
  KeySet ks;
  ASSERT_EQ(add(ks), 1);
  long a = log_index("skipping unsupported key type");
  EXPECT_GE(a, 0);
  EXPECT_EQ(log_index("failed to fetch key", a), a + 1);
  long c = log_index("skipping unsupported certificate type 1");
  EXPECT_GE(c, 0);
  EXPECT_EQ(log_index("failed to fetch key", c), -1);
}

TEST_F(FetchTest, MissingIdIsDroppedEmptyIdAccepted) {
  mock_config("slot id=1\n" + pub("rsa2048.pem", "label=noid noattr=CKA_ID") +
              pub("ec256.pem", "label=emptyid"));
  KeySet ks;
  ASSERT_EQ(add(ks), 1);
  EXPECT_EQ(ks.label_list(), (std::vector<std::string>{"emptyid"}));
  long a = log_index("C_GetAttributeValue failed: 18");
  EXPECT_GE(a, 0);
  EXPECT_EQ(log_index("failed to fetch key", a), a + 1);
}

TEST_F(FetchTest, MalformedEcObjects) {
  // secp256k1 has no SSH name but is a named curve: accepted, "unknown".
  const struct {
    std::string object;
    const char *message;
  } cases[] = {
      {pub("ec256.pem", "label=x attr.CKA_EC_POINT=0441"), "CKA_EC_POINT too small"},
      {pub("ec256.pem", "label=x attr.CKA_EC_POINT=04"), "CKA_EC_POINT too small"},
      {pub("ec256.pem", "label=x attr.CKA_EC_POINT=300100"),
       "ossl_error: d2i_ASN1_OCTET_STRING failed"},
      {pub("ec256.pem", "label=x attr.CKA_EC_POINT=0403040102"),
       "ossl_error: o2i_ECPublicKey failed"},
      {pub("ec256.pem", "label=x attr.CKA_EC_PARAMS=0603550403"),
       "ossl_error: d2i_ECPKParameters failed"},
      {pub("ec256.pem", "label=x attr.CKA_EC_PARAMS="), "invalid attribute length"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.object);
    clear_log();
    mock_config("slot id=1\n" + c.object + pub("rsa2048.pem", "label=good"));
    KeySet ks;
    EXPECT_EQ(add(ks), 1);
    EXPECT_EQ(ks.label_list(), (std::vector<std::string>{"good"}));
    long at = log_index(c.message);
    EXPECT_GE(at, 0);
    EXPECT_GT(log_index("failed to fetch key", static_cast<size_t>(at)), at);
    ks.clear();
    ASSERT_EQ(pkcs11_del_provider(mock_module().c_str()), 0);
  }
}

TEST_F(FetchTest, OtherNamedCurveIsAcceptedAsUnknown) {
  mock_config("slot id=1\n" + pub("secp256k1.pem", "label=k1") + pub("ec256.pem", "label=p256"));
  KeySet ks;
  ASSERT_EQ(add(ks), 2);
  EXPECT_EQ(ks.keys[0]->ecdsa_nid, NID_secp256k1);
  EXPECT_STREQ(sshkey_short_name(ks.keys[0]), "unknown");
  // note_key reports it by its short name, or reports that no fingerprint
  // could be made when the blob encoder has no name for the curve; the key
  // is accepted either way.
  bool noted = logged("note_key: sshkey_fingerprint failed");
  for (const auto &l : log_lines())
    if (l.find(" slot 0: unknown SHA256:") != std::string::npos) noted = true;
  EXPECT_TRUE(noted);
  EXPECT_TRUE(logged("debug1: have 1 keys"));
}

TEST_F(FetchTest, ProviderWithOnlyKeysThatCannotBeOfferedYieldsNone) {
  // No key of the token has an SSH blob: the provider yields no keys and
  // does not stay loaded.
  mock_config("slot id=1\n" + pub("secp256k1.pem", "label=k1") +
              pub("secp256k1.pem", "id=02 label=k2"));
  KeySet ks;
  EXPECT_EQ(add(ks), 0);
  EXPECT_EQ(ks.keys, nullptr);
  EXPECT_EQ(count_calls("C_Finalize"), 1u);
  EXPECT_EQ(pkcs11_del_provider(mock_module().c_str()), -1);
}

TEST_F(FetchTest, ExplicitCurveParameters) {
  // P-256 given by explicit parameters is recognised and named.
  EC_GROUP *g = EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1);
  ASSERT_NE(g, nullptr);
  EC_GROUP_set_asn1_flag(g, OPENSSL_EC_EXPLICIT_CURVE);
  unsigned char *der = nullptr;
  int len = i2d_ECPKParameters(g, &der);
  ASSERT_GT(len, 0);
  std::string hex = vardek::test::to_hex(der, static_cast<size_t>(len));
  hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
  OPENSSL_free(der);
  EC_GROUP_free(g);

  // P-256 with another generator is a curve libcrypto has no name for and
  // none of the three: the public point still lies on it.
  EC_GROUP *odd = EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1);
  ASSERT_NE(odd, nullptr);
  EC_POINT *g2 = EC_POINT_new(odd);
  ASSERT_EQ(EC_POINT_dbl(odd, g2, EC_GROUP_get0_generator(odd), nullptr), 1);
  BIGNUM *order = BN_dup(EC_GROUP_get0_order(odd));
  BIGNUM *cofactor = BN_dup(EC_GROUP_get0_cofactor(odd));
  ASSERT_EQ(EC_GROUP_set_generator(odd, g2, order, cofactor), 1);
  EC_GROUP_set_curve_name(odd, NID_undef);
  EC_GROUP_set_asn1_flag(odd, OPENSSL_EC_EXPLICIT_CURVE);
  der = nullptr;
  len = i2d_ECPKParameters(odd, &der);
  ASSERT_GT(len, 0);
  std::string k1hex = vardek::test::to_hex(der, static_cast<size_t>(len));
  k1hex.erase(std::remove(k1hex.begin(), k1hex.end(), ' '), k1hex.end());
  OPENSSL_free(der);
  EC_POINT_free(g2);
  BN_free(order);
  BN_free(cofactor);
  EC_GROUP_free(odd);

  mock_config("slot id=1\n" + pub("ec256.pem", "label=explicit attr.CKA_EC_PARAMS=" + hex) +
              pub("ec256.pem", "id=09 label=oddcurve attr.CKA_EC_PARAMS=" + k1hex));
  KeySet ks;
  ASSERT_EQ(add(ks), 1);
  EXPECT_EQ(ks.label_list(), (std::vector<std::string>{"explicit"}));
  EXPECT_EQ(ks.keys[0]->ecdsa_nid, NID_X9_62_prime256v1);
  EXPECT_TRUE(same_public(ks.keys[0], data("ec256.pem")));
  EXPECT_TRUE(logged("couldn't get curve nid"));
}

TEST_F(FetchTest, LabelsLongerThanTheClassificationBuffer) {
  // A label above 255 bytes is read again at its own length and listed
  // whole, however the token reports the short buffer. Above the label
  // limit, or when the token will not give the length, only that object is
  // skipped; the rest of the slot is still visited.
  const std::string label300(300, 'L');
  const std::string huge(PKCS11_MAX_LABEL_LEN + 1, 'H');
  const struct {
    std::string label;
    const char *mode;
    std::vector<std::string> labels;
  } cases[] = {
      {label300, "standard", {"first", label300, "after"}},
      {label300, "ok", {"first", label300, "after"}},
      {label300, "unavailable", {"first", "after"}},
      {huge, "standard", {"first", "after"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.mode) + " " + std::to_string(c.label.size()));
    clear_log();
    mock_config("slot id=1\n" + pub("ec256.pem", "label=first") +
                pub("rsa2048.pem", "label=" + c.label + " small_buffer=" + c.mode) +
                pub("ec384.pem", "label=after"));
    KeySet ks;
    ASSERT_EQ(add(ks), static_cast<int>(c.labels.size()));
    EXPECT_EQ(ks.label_list(), c.labels);
    if (c.labels.size() == 2) {
      EXPECT_TRUE(logged("C_GetAttributeValue failed: 336"));
    }
    ks.clear();
    ASSERT_EQ(pkcs11_del_provider(mock_module().c_str()), 0);
  }
}

TEST_F(FetchTest, AttributeReadFailures) {
  const struct {
    const char *fault;
    const char *message;
    int keys;
    size_t finals = 2;  // C_FindObjectsFinal calls: one per search
  } cases[] = {
      // classification read of the first object: ends the slot
      {"fail C_GetAttributeValue 1 CKR_DEVICE_ERROR\n", "C_GetAttributeValue failed: 48", 0},
      // size query of the builder
      {"fail C_GetAttributeValue 2 CKR_DEVICE_ERROR\n", "C_GetAttributeValue failed: 48", 1},
      // data query of the builder
      {"fail C_GetAttributeValue 3 CKR_DEVICE_ERROR\n", "C_GetAttributeValue failed: 48", 1},
      {"fail C_FindObjectsInit 1 CKR_DEVICE_ERROR\n", "C_FindObjectsInit failed: 48", 0},
      {"fail C_FindObjects 1 CKR_DEVICE_ERROR\n", "C_FindObjects failed: 48", 0},
      // the failed Final leaves the search active: the certificate search
      // ends it with one more Final before it starts
      {"fail C_FindObjectsFinal 1 CKR_DEVICE_ERROR\n", "C_FindObjectsFinal failed: 48", 2, 3},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.fault);
    clear_log();
    clear_calls();
    mock_config("slot id=1\n" + pub("ec256.pem", "label=a") + pub("ec384.pem", "label=b") +
                c.fault);
    KeySet ks;
    EXPECT_EQ(add(ks), c.keys);
    EXPECT_TRUE(logged(c.message));
    // The find operation is closed whenever it was started.
    EXPECT_EQ(count_calls("C_FindObjectsFinal"), c.finals);
    ks.clear();
    if (c.keys > 0) {
      ASSERT_EQ(pkcs11_del_provider(mock_module().c_str()), 0);
    }
  }
}

}  // namespace
