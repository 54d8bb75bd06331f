// The slot pass through the mock module: token filters of the URI, sessions
// and logins with the request's PIN, and the retry without the object label.
#include "provider_fixture.h"

namespace {

using vardek::test::KeySet;
using vardek::test::ProviderTest;

using SlotTest = ProviderTest;

std::string rsa_objects(const char *id, const char *label, bool priv_public = false) {
  std::string pem = ProviderTest::data("rsa2048.pem");
  return std::string("object class=public key=") + pem + " id=" + id + " label=" + label +
         (priv_public ? " private=1" : "") + "\n" + "object class=private key=" + pem +
         " id=" + id + " label=" + label + "\n";
}

std::string ec_objects(const char *pem, const char *id, const char *label) {
  std::string path = ProviderTest::data(pem);
  return std::string("object class=public key=") + path + " id=" + id + " label=" + label +
         "\nobject class=private key=" + path + " id=" + id + " label=" + label + "\n";
}

TEST_F(SlotTest, TokenLabelAndManufacturerFilters) {
  mock_config("slot id=1 label=alpha manufacturer=m1\n" + rsa_objects("01", "a") +
              "slot id=2 label=beta manufacturer=m2\n" + ec_objects("ec256.pem", "02", "b") +
              "slot id=3 flags=0\n" + ec_objects("ec384.pem", "03", "c"));
  KeySet all;
  all.n = pkcs11_add_provider(mock_module().c_str(), "", &all.keys, &all.labels);
  EXPECT_EQ(all.label_list(), (std::vector<std::string>{"a", "b"}));
  std::string id = "pkcs11:?module-path=" + mock_module();
  EXPECT_TRUE(
      logged("debug2: pkcs11_register_provider_by_uri: ignoring uninitialised token in "
             "provider " +
             id + " slot 2"));
  all.clear();
  ASSERT_EQ(pkcs11_del_provider(mock_module().c_str()), 0);

  clear_log();
  KeySet by_label;
  by_label.n =
      pkcs11_add_provider(mock_uri("token=beta").c_str(), "", &by_label.keys, &by_label.labels);
  EXPECT_EQ(by_label.label_list(), (std::vector<std::string>{"b"}));
  EXPECT_TRUE(
      logged("debug2: pkcs11_register_provider_by_uri: ignoring token not matching label "
             "(alpha) specified by PKCS#11 URI in slot 0"));

  clear_log();
  KeySet by_maker;
  by_maker.n = pkcs11_add_provider(mock_uri("manufacturer=m1").c_str(), "", &by_maker.keys,
                                   &by_maker.labels);
  EXPECT_EQ(by_maker.label_list(), (std::vector<std::string>{"a"}));
  EXPECT_TRUE(
      logged("debug2: pkcs11_register_provider_by_uri: ignoring token not matching "
             "requrested manufacturerID (m2) specified by PKCS#11 URI in slot 1"));

  KeySet none;
  EXPECT_EQ(pkcs11_add_provider(mock_uri("token=alpha;manufacturer=m2").c_str(), "", &none.keys,
                                &none.labels),
            0);
}

TEST_F(SlotTest, FullWidthTokenTextsKeepEveryCharacter) {
  // A label and serial that fill their fields: the whole label selects the
  // token, its first 31 characters do not, and the serial keeps its last
  // digit.
  std::string label32 = "abcdefghijklmnopqrstuvwxyz012345";
  mock_config("slot id=1 label=" + label32 + " serial=0123456789abcdef\n" + rsa_objects("01", "k"));
  KeySet whole, cut;
  whole.n =
      pkcs11_add_provider(mock_uri("token=" + label32).c_str(), "", &whole.keys, &whole.labels);
  EXPECT_EQ(whole.n, 1);
  EXPECT_STREQ(first_provider()->module->slotinfo[0].serial, "0123456789abcdef");
  EXPECT_EQ(pkcs11_add_provider(mock_uri("token=" + label32.substr(0, 31)).c_str(), "", &cut.keys,
                                &cut.labels),
            0);
}

TEST_F(SlotTest, LoginWithTheRequestPin) {
  mock_config("slot id=1 flags=initialized,login_required pin=2468\n" +
              rsa_objects("01", "k", true));
  KeySet ks;
  ks.n = pkcs11_add_provider(mock_module().c_str(), "2468", &ks.keys, &ks.labels);
  ASSERT_EQ(ks.n, 1);
  EXPECT_EQ(count_calls("C_Login h=1 user=1 pin_len=4"), 1u);
  pkcs11_slot *s = &first_provider()->module->slotinfo[0];
  EXPECT_EQ(s->logged_in, 1);
  EXPECT_NE(s->session, 0u);

  // A later provider of the module reuses the logged-in session whatever
  // PIN it brings.
  clear_calls();
  KeySet again;
  again.n = pkcs11_add_provider(mock_uri("object=k").c_str(), "wrong", &again.keys, &again.labels);
  EXPECT_EQ(again.n, 1);
  EXPECT_EQ(count_calls("C_Login"), 0u);
  EXPECT_EQ(count_calls("C_OpenSession"), 0u);
}

TEST_F(SlotTest, WrongPinGivesNoKeys) {
  mock_config("slot id=1 flags=initialized,login_required pin=2468\n" + rsa_objects("01", "k"));
  KeySet ks;
  EXPECT_EQ(pkcs11_add_provider(mock_module().c_str(), "1111", &ks.keys, &ks.labels), 0);
  EXPECT_TRUE(logged("C_Login failed: 160"));
  // The refused session is closed; discovery runs on no session.
  EXPECT_EQ(count_calls("C_CloseSession"), 1u);
  EXPECT_TRUE(logged("C_FindObjectsInit failed: 179"));
  EXPECT_TRUE(logged("C_FindObjectsFinal failed: 179"));
  EXPECT_EQ(nproviders(), 0);
}

TEST_F(SlotTest, LoginFailureWithCloseFailure) {
  mock_config("slot id=1 flags=initialized,login_required\n" + rsa_objects("01", "k") +
              "fail C_Login always CKR_PIN_LOCKED\n"
              "fail C_CloseSession always CKR_DEVICE_ERROR\n");
  KeySet ks;
  EXPECT_EQ(pkcs11_add_provider(mock_module().c_str(), "1234", &ks.keys, &ks.labels), 0);
  long a = log_index("C_Login failed: 164");
  EXPECT_GE(a, 0);
  EXPECT_GT(log_index("C_CloseSession failed: 48"), a);
}

TEST_F(SlotTest, AlreadyLoggedInCountsAsSuccess) {
  mock_config("slot id=1 flags=initialized,login_required\n" + rsa_objects("01", "k") +
              "fail C_Login always CKR_USER_ALREADY_LOGGED_IN\n");
  KeySet ks;
  ks.n = pkcs11_add_provider(mock_module().c_str(), "1234", &ks.keys, &ks.labels);
  EXPECT_EQ(ks.n, 1);
  EXPECT_EQ(first_provider()->module->slotinfo[0].logged_in, 1);
}

TEST_F(SlotTest, EmptyPinOnLoginRequiredToken) {
  mock_config("slot id=1 flags=initialized,login_required\n" + rsa_objects("01", "k"));
  KeySet ks;
  EXPECT_EQ(pkcs11_add_provider(mock_module().c_str(), "", &ks.keys, &ks.labels), 0);
  EXPECT_TRUE(logged("pin required"));
  EXPECT_EQ(count_calls("C_OpenSession"), 0u);
  EXPECT_EQ(count_calls("C_Login"), 0u);
  EXPECT_TRUE(logged("C_FindObjectsInit failed: 179"));
}

TEST_F(SlotTest, NoLoginWhenTokenDoesNotRequireOne) {
  mock_config("slot id=1\n" + rsa_objects("01", "k"));
  KeySet ks;
  ks.n = pkcs11_add_provider(mock_module().c_str(), "1234", &ks.keys, &ks.labels);
  EXPECT_EQ(ks.n, 1);
  EXPECT_EQ(count_calls("C_Login"), 0u);
  EXPECT_EQ(first_provider()->module->slotinfo[0].logged_in, 0);
}

TEST_F(SlotTest, OpenSessionFailureLeavesTheSlotWithoutSession) {
  mock_config("slot id=4\n" + rsa_objects("01", "k") + "slot id=5\n" +
              ec_objects("ec256.pem", "02", "e") + "fail C_OpenSession 1 CKR_SESSION_COUNT\n");
  KeySet ks;
  ks.n = pkcs11_add_provider(mock_module().c_str(), "", &ks.keys, &ks.labels);
  EXPECT_EQ(ks.label_list(), (std::vector<std::string>{"e"}));
  EXPECT_TRUE(logged("C_OpenSession failed for slot 0: 177"));
  EXPECT_EQ(first_provider()->module->slotinfo[0].session, 0u);
}

TEST_F(SlotTest, ObjectLabelRetry) {
  mock_config("slot id=1\n" + rsa_objects("01", "k1") + ec_objects("ec256.pem", "02", "k2"));
  KeySet exact;
  exact.n = pkcs11_add_provider(mock_uri("object=k2").c_str(), "", &exact.keys, &exact.labels);
  EXPECT_EQ(exact.label_list(), (std::vector<std::string>{"k2"}));
  EXPECT_EQ(count_calls("C_FindObjectsInit h=1 CKA_CLASS=2 CKA_LABEL=6b32"), 1u);
  EXPECT_EQ(count_calls("C_FindObjectsInit h=1 CKA_CLASS=1 CKA_LABEL=6b32"), 1u);

  KeySet retry;
  retry.n = pkcs11_add_provider(mock_uri("object=nothing").c_str(), "", &retry.keys, &retry.labels);
  EXPECT_EQ(retry.label_list(), (std::vector<std::string>{"k1", "k2"}));
  EXPECT_TRUE(
      logged("debug3: pkcs11_register_provider_by_uri: No keys found. Retrying without "
             "label (nothing) "));
  // The label is back in place: the provider's identity still names it.
  pkcs11_provider *last = TAILQ_LAST(&provider_list, pkcs11_provider_head);
  EXPECT_NE(std::string(last->name).find("object=nothing"), std::string::npos);
}

TEST_F(SlotTest, NoRetryOnceAnySlotHasYieldedAKey) {
  mock_config("slot id=1\n" + rsa_objects("01", "hit") + "slot id=2\n" +
              ec_objects("ec256.pem", "02", "other"));
  KeySet ks;
  ks.n = pkcs11_add_provider(mock_uri("object=hit").c_str(), "", &ks.keys, &ks.labels);
  EXPECT_EQ(ks.label_list(), (std::vector<std::string>{"hit"}));
  auto lines = log_lines();
  for (const auto &l : lines) EXPECT_EQ(l.find("Retrying without label"), std::string::npos);
}

TEST_F(SlotTest, IdFilterAndBothFilters) {
  mock_config("slot id=1\n" + rsa_objects("0a0b", "same") + ec_objects("ec256.pem", "0c", "same") +
              ec_objects("ec384.pem", "0a0b", "diff"));
  KeySet by_id;
  by_id.n = pkcs11_add_provider(mock_uri("id=%0A%0B").c_str(), "", &by_id.keys, &by_id.labels);
  EXPECT_EQ(by_id.label_list(), (std::vector<std::string>{"same", "diff"}));
  EXPECT_EQ(count_calls("C_FindObjectsInit h=1 CKA_CLASS=2 CKA_ID=0a0b"), 1u);

  KeySet both;
  both.n =
      pkcs11_add_provider(mock_uri("id=%0A%0B;object=same").c_str(), "", &both.keys, &both.labels);
  EXPECT_EQ(both.label_list(), (std::vector<std::string>{"same"}));
  EXPECT_EQ(count_calls("C_FindObjectsInit h=1 CKA_CLASS=2 CKA_ID=0a0b CKA_LABEL=73616d65"), 1u);
}

TEST_F(SlotTest, KeyOnTwoSlotsIsListedOnce) {
  mock_config("slot id=1\n" + rsa_objects("01", "first") + "slot id=2\n" +
              rsa_objects("01", "second"));
  KeySet ks;
  ks.n = pkcs11_add_provider(mock_module().c_str(), "", &ks.keys, &ks.labels);
  EXPECT_EQ(ks.label_list(), (std::vector<std::string>{"first"}));
  EXPECT_TRUE(logged("debug2: pkcs11_fetch_keys: key already included"));
}

}  // namespace
