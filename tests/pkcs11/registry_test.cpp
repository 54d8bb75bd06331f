// Provider registry and module life through the mock module: results of
// pkcs11_add_provider / pkcs11_del_provider, the Cryptoki calls each makes
// (from the mock's call log), shared modules and reference counts.
#include <dlfcn.h>

#include "provider_fixture.h"

namespace {

using vardek::test::KeySet;
using vardek::test::ProviderTest;

// One slot with one RSA public key and its private half.
std::string one_key_config() {
  return "slot id=7 label=tok manufacturer=maker model=m1 serial=s1\n"
         "object class=public key=" +
         ProviderTest::data("rsa2048.pem") +
         " id=01 label=rsa\n"
         "object class=private key=" +
         ProviderTest::data("rsa2048.pem") + " id=01 label=rsa\n";
}

bool module_loaded(const std::string &path) {
  void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (h == nullptr) return false;
  dlclose(h);
  return true;
}

using RegistryTest = ProviderTest;

// --- Module initialisation failures ------------------------------------------

TEST_F(RegistryTest, InitializeFailureIsMinusOneWithoutFinalize) {
  mock_config(one_key_config() + "fail C_Initialize always CKR_DEVICE_ERROR\n");
  KeySet ks;
  EXPECT_EQ(pkcs11_add_provider(mock_module().c_str(), "1234", &ks.keys, &ks.labels), -1);
  EXPECT_EQ(ks.keys, nullptr);
  EXPECT_EQ(ks.labels, nullptr);
  EXPECT_TRUE(logged("C_Initialize for provider " + mock_module() + " failed: 48"));
  EXPECT_EQ(call_names(), (std::vector<std::string>{"C_GetFunctionList", "C_Initialize"}));
  EXPECT_EQ(nproviders(), 0);
  EXPECT_FALSE(module_loaded(mock_module()));
}

TEST_F(RegistryTest, GetFunctionListFailure) {
  mock_config(one_key_config() + "fail C_GetFunctionList always CKR_HOST_MEMORY\n");
  KeySet ks;
  EXPECT_EQ(pkcs11_add_provider(mock_module().c_str(), "", &ks.keys, &ks.labels), -1);
  EXPECT_TRUE(logged("C_GetFunctionList for provider " + mock_module() + " failed: 2"));
  EXPECT_EQ(count_calls("C_Initialize"), 0u);
  EXPECT_EQ(count_calls("C_Finalize"), 0u);
  EXPECT_EQ(nproviders(), 0);
}

TEST_F(RegistryTest, LibraryWithoutFunctionListIsAProviderFailure) {
  // The process goes on: the library is reported and unloaded.
  std::string path = VARDEK_MOCK_NOFUNCLIST_MODULE;
  KeySet ks;
  EXPECT_EQ(pkcs11_add_provider(path.c_str(), "", &ks.keys, &ks.labels), -1);
  auto lines = log_lines();
  bool found = false;
  for (const auto &l : lines)
    if (l.rfind("dlsym(C_GetFunctionList) failed: ", 0) == 0) found = true;
  EXPECT_TRUE(found);
  EXPECT_FALSE(module_loaded(path));
  EXPECT_EQ(nproviders(), 0);
}

TEST_F(RegistryTest, MissingLibrary) {
  std::string path = dir_ + "/no-such-module.so";
  KeySet ks;
  EXPECT_EQ(pkcs11_add_provider(path.c_str(), "", &ks.keys, &ks.labels), -1);
  auto lines = log_lines();
  bool found = false;
  for (const auto &l : lines)
    if (l.rfind("dlopen " + path + " failed: ", 0) == 0) found = true;
  EXPECT_TRUE(found);
  EXPECT_EQ(nproviders(), 0);
}

TEST_F(RegistryTest, FailuresAfterInitializeFinalizeAndUnload) {
  const struct {
    const char *fault;
    int result;
    std::string message;
  } cases[] = {
      {"fail C_GetInfo always CKR_GENERAL_ERROR\n", -1,
       "C_GetInfo for provider " + mock_module() + " failed: 5"},
      {"fail C_GetSlotList 1 CKR_FUNCTION_FAILED\n", -1, "C_GetSlotList failed: 6"},
      {"fail C_GetSlotList 2 CKR_DEVICE_REMOVED\n", -1,
       "C_GetSlotList for provider " + mock_module() + " failed: 50"},
      {"getslotlist_count 0\n", -3,
       "debug1: pkcs11_initialize_provider: provider " + mock_module() + " returned no slots"},
      {"fail C_Finalize always CKR_DEVICE_ERROR\nfail C_GetInfo always CKR_GENERAL_ERROR\n", -1,
       "C_Finalize for provider " + mock_module() + " failed: 48"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.fault);
    clear_log();
    clear_calls();
    mock_config(one_key_config() + c.fault);
    KeySet ks;
    EXPECT_EQ(pkcs11_add_provider(mock_module().c_str(), "", &ks.keys, &ks.labels), c.result);
    EXPECT_TRUE(logged(c.message));
    EXPECT_EQ(count_calls("C_Initialize"), 1u);
    EXPECT_EQ(count_calls("C_Finalize"), 1u);
    EXPECT_EQ(count_calls("C_OpenSession"), 0u);
    EXPECT_EQ(nproviders(), 0);
    EXPECT_FALSE(module_loaded(mock_module()));
  }
}

TEST_F(RegistryTest, NoSlotsIsMinusThree) {
  mock_config("library manufacturer=empty\n");
  KeySet ks;
  EXPECT_EQ(pkcs11_add_provider(mock_module().c_str(), "", &ks.keys, &ks.labels), -3);
  EXPECT_EQ(call_names(), (std::vector<std::string>{"C_GetFunctionList", "C_Initialize",
                                                    "C_GetInfo", "C_GetSlotList", "C_Finalize"}));
  EXPECT_FALSE(module_loaded(mock_module()));
}

TEST_F(RegistryTest, LibraryManufacturerFilter) {
  mock_config("library manufacturer=Acme%20Corp description=d\n" + one_key_config());
  KeySet ks;
  EXPECT_EQ(
      pkcs11_add_provider(mock_uri("library-manufacturer=Acme").c_str(), "", &ks.keys, &ks.labels),
      -1);
  EXPECT_TRUE(
      logged("debug1: pkcs11_initialize_provider: Skipping provider Acme Corp not "
             "matching library_manufacturer"));
  EXPECT_EQ(count_calls("C_Finalize"), 1u);
  EXPECT_EQ(count_calls("C_GetSlotList"), 0u);

  clear_log();
  ks.n = pkcs11_add_provider(mock_uri("library-manufacturer=Acme%20Corp").c_str(), "", &ks.keys,
                             &ks.labels);
  EXPECT_EQ(ks.n, 1);
  EXPECT_TRUE(logged("debug1: provider " + mock_module() +
                     ": manufacturerID <Acme Corp> cryptokiVersion 2.40 libraryDescription <d> "
                     "libraryVersion 1.0"));
}

TEST_F(RegistryTest, TokenInfoFailureSkipsTheSlot) {
  mock_config(one_key_config() + "fail C_GetTokenInfo always CKR_DEVICE_ERROR\n");
  KeySet ks;
  std::string uri = "pkcs11:?module-path=" + mock_module();
  EXPECT_EQ(pkcs11_add_provider(mock_module().c_str(), "", &ks.keys, &ks.labels), 0);
  long a = log_index("C_GetTokenInfo for provider " + mock_module() + " slot 0 failed: 48");
  long b = log_index(
      "debug2: pkcs11_register_provider_by_uri: ignoring uninitialised token in "
      "provider " +
      uri + " slot 0");
  long c = log_index("debug1: pkcs11_add_provider_by_uri: provider " + uri + " returned no keys");
  EXPECT_GE(a, 0);
  EXPECT_GT(b, a);
  EXPECT_GT(c, b);
  EXPECT_EQ(count_calls("C_OpenSession"), 0u);
  EXPECT_EQ(count_calls("C_Finalize"), 1u);
  EXPECT_EQ(nproviders(), 0);
  EXPECT_FALSE(module_loaded(mock_module()));
}

// --- Successful registration and removal ------------------------------------

TEST_F(RegistryTest, AddListsProviderUnderItsUriIdentity) {
  mock_config(one_key_config());
  KeySet ks;
  ks.n = pkcs11_add_provider(mock_module().c_str(), "1234", &ks.keys, &ks.labels);
  ASSERT_EQ(ks.n, 1);
  EXPECT_EQ(ks.label_list(), (std::vector<std::string>{"rsa"}));
  EXPECT_EQ(ks.keys[0]->type, KEY_TYPE_RSA);
  EXPECT_EQ(ks.keys[0]->flags & KEY_FLAG_ON_TOKEN, static_cast<uint32_t>(KEY_FLAG_ON_TOKEN));
  ASSERT_EQ(nproviders(), 1);
  pkcs11_provider *p = first_provider();
  std::string identity = "pkcs11:?module-path=" + mock_module();
  EXPECT_EQ(std::string(p->name), identity);
  EXPECT_EQ(p->valid, 1);
  EXPECT_EQ(p->refcount, 2);  // the list and the key
  ASSERT_NE(p->module, nullptr);
  EXPECT_EQ(p->module->refcount, 1);
  EXPECT_EQ(p->module->nslots, 1u);
  EXPECT_EQ(p->module->slotlist[0], 7u);
  EXPECT_STREQ(p->module->slotinfo[0].label, "tok");
  EXPECT_STREQ(p->module->slotinfo[0].serial, "s1");
  EXPECT_TRUE(logged("debug1: pkcs11_add_provider_by_uri: called, provider_uri = " + identity));
  EXPECT_TRUE(logged("debug1: provider " + identity +
                     " slot 0: label <tok> manufacturerID <maker> model <m1> serial <s1> "
                     "flags 0x400"));
  EXPECT_EQ(
      call_names(),
      (std::vector<std::string>{
          "C_GetFunctionList", "C_Initialize", "C_GetInfo", "C_GetSlotList", "C_GetSlotList",
          "C_GetTokenInfo", "C_OpenSession", "C_FindObjectsInit", "C_FindObjects",
          "C_GetAttributeValue", "C_GetAttributeValue", "C_GetAttributeValue", "C_FindObjects",
          "C_FindObjectsFinal", "C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal"}));
  EXPECT_EQ(calls()[6], "C_OpenSession slot=7 flags=0x6");

  // The same identity, named as a URI, removes it.
  clear_calls();
  ks.clear();
  EXPECT_EQ(pkcs11_del_provider(identity.c_str()), 0);
  EXPECT_EQ(nproviders(), 0);
  EXPECT_EQ(call_names(), (std::vector<std::string>{"C_CloseSession", "C_Finalize"}));
  EXPECT_FALSE(module_loaded(mock_module()));
  EXPECT_EQ(pkcs11_del_provider(identity.c_str()), -1);
}

TEST_F(RegistryTest, NoKeysLeavesNothingRegistered) {
  mock_config("slot id=1\n");
  KeySet ks;
  EXPECT_EQ(pkcs11_add_provider(mock_module().c_str(), "", &ks.keys, &ks.labels), 0);
  EXPECT_EQ(ks.keys, nullptr);
  EXPECT_EQ(nproviders(), 0);
  EXPECT_EQ(count_calls("C_CloseSession"), 1u);
  EXPECT_EQ(count_calls("C_Finalize"), 1u);
  EXPECT_FALSE(module_loaded(mock_module()));
}

TEST_F(RegistryTest, SharedModuleIsInitialisedOnceAndFinalisedWithTheLastProvider) {
  mock_config(one_key_config() +
              "slot id=8 label=other\n"
              "object class=public key=" +
              data("ec256.pem") + " id=02 label=ec\n");
  KeySet first, second;
  first.n = pkcs11_add_provider(mock_uri("token=tok").c_str(), "", &first.keys, &first.labels);
  ASSERT_EQ(first.n, 1);
  EXPECT_EQ(first.label_list(), (std::vector<std::string>{"rsa"}));
  EXPECT_EQ(count_calls("C_OpenSession"), 1u);

  clear_calls();
  clear_log();
  second.n = pkcs11_add_provider(mock_module().c_str(), "", &second.keys, &second.labels);
  ASSERT_EQ(second.n, 2);
  EXPECT_EQ(second.label_list(), (std::vector<std::string>{"rsa", "ec"}));
  EXPECT_TRUE(logged("debug1: pkcs11_initialize_provider: provider module already initialized: " +
                     mock_module()));
  EXPECT_EQ(count_calls("C_Initialize"), 0u);
  EXPECT_EQ(count_calls("C_GetInfo"), 0u);
  EXPECT_EQ(count_calls("C_GetSlotList"), 0u);
  EXPECT_EQ(count_calls("C_GetTokenInfo"), 0u);
  // The first slot's session is reused; only the new slot gets one.
  EXPECT_EQ(count_calls("C_OpenSession"), 1u);
  EXPECT_EQ(count_calls("C_OpenSession slot=8"), 1u);

  ASSERT_EQ(nproviders(), 2);
  pkcs11_module *m = first_provider()->module;
  EXPECT_EQ(m->refcount, 2);
  EXPECT_EQ(TAILQ_NEXT(first_provider(), next)->module, m);

  clear_calls();
  first.clear();
  EXPECT_EQ(pkcs11_del_provider(mock_uri("token=tok").c_str()), 0);
  EXPECT_EQ(calls().size(), 0u);
  EXPECT_TRUE(module_loaded(mock_module()));
  EXPECT_EQ(m->refcount, 1);

  second.clear();
  EXPECT_EQ(pkcs11_del_provider(mock_module().c_str()), 0);
  EXPECT_EQ(count_calls("C_CloseSession"), 2u);
  EXPECT_EQ(count_calls("C_Finalize"), 1u);
  EXPECT_FALSE(module_loaded(mock_module()));

  // Loaded again from scratch afterwards.
  clear_calls();
  KeySet third;
  third.n = pkcs11_add_provider(mock_module().c_str(), "", &third.keys, &third.labels);
  EXPECT_EQ(third.n, 2);
  EXPECT_EQ(count_calls("C_Initialize"), 1u);
}

TEST_F(RegistryTest, SameNameTwiceMakesTwoRecords) {
  mock_config(one_key_config());
  KeySet a, b;
  a.n = pkcs11_add_provider(mock_module().c_str(), "", &a.keys, &a.labels);
  b.n = pkcs11_add_provider(mock_module().c_str(), "", &b.keys, &b.labels);
  ASSERT_EQ(a.n, 1);
  ASSERT_EQ(b.n, 1);
  ASSERT_EQ(nproviders(), 2);
  pkcs11_provider *second = TAILQ_NEXT(first_provider(), next);
  a.clear();
  b.clear();
  EXPECT_EQ(pkcs11_del_provider(mock_module().c_str()), 0);
  ASSERT_EQ(nproviders(), 1);
  EXPECT_EQ(first_provider(), second);  // the first registered went first
  EXPECT_EQ(count_calls("C_Finalize"), 0u);
  EXPECT_EQ(pkcs11_del_provider(mock_module().c_str()), 0);
  EXPECT_EQ(nproviders(), 0);
  EXPECT_EQ(count_calls("C_Finalize"), 1u);
  EXPECT_EQ(pkcs11_del_provider(mock_module().c_str()), -1);
}

TEST_F(RegistryTest, FinaliseFailuresAreLoggedAndFinalisationGoesOn) {
  mock_config(one_key_config() +
              "fail C_CloseSession always 0xb0\n"
              "fail C_Finalize always CKR_GENERAL_ERROR\n");
  KeySet ks;
  ks.n = pkcs11_add_provider(mock_module().c_str(), "", &ks.keys, &ks.labels);
  ASSERT_EQ(ks.n, 1);
  ks.clear();
  EXPECT_EQ(pkcs11_del_provider(mock_module().c_str()), 0);
  EXPECT_TRUE(logged("C_CloseSession failed: 176"));
  EXPECT_TRUE(logged("C_Finalize failed: 5"));
  EXPECT_FALSE(module_loaded(mock_module()));
}

TEST_F(RegistryTest, ProviderOutlivesRemovalWhileKeysRemain) {
  mock_config(one_key_config());
  KeySet ks;
  ks.n = pkcs11_add_provider(mock_module().c_str(), "", &ks.keys, &ks.labels);
  ASSERT_EQ(ks.n, 1);
  pkcs11_provider *p = first_provider();
  EXPECT_EQ(pkcs11_del_provider(mock_module().c_str()), 0);
  // Detached: invalid, no module, the module finalised; the key still refers to it.
  EXPECT_EQ(p->valid, 0);
  EXPECT_EQ(p->module, nullptr);
  EXPECT_EQ(p->refcount, 1);
  EXPECT_EQ(count_calls("C_Finalize"), 1u);
  EXPECT_FALSE(module_loaded(mock_module()));
  clear_log();
  ks.clear();
  EXPECT_TRUE(logged("debug1: pkcs11_provider_unref: provider \"pkcs11:?module-path=" +
                     mock_module() + "\" refcount 1"));
}

TEST(TrimField, BlankPaddedFields) {
  struct Case {
    const char *field;  // 8 bytes
    const char *text;
  } cases[] = {
      {"ab c    ", "ab c"},
      {"abcdefgh", "abcdefgh"},  // full width: every character is kept
      {"abcdefg ", "abcdefg"},
      {"        ", " "},  // byte 0 is never changed
  };
  for (const auto &c : cases) {
    char out[9];
    memset(out, 'X', sizeof out);
    trim_field(out, reinterpret_cast<const unsigned char *>(c.field), 8);
    EXPECT_EQ(std::string(out), c.text) << c.field;
  }
  char one[2] = {'X', 'X'};
  trim_field(one, reinterpret_cast<const unsigned char *>("x"), 1);
  EXPECT_EQ(std::string(one), "x");
}

}  // namespace
