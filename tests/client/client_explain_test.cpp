// What vardek-client says when something is wrong, without -v: one table of
// the usual mistakes, each with its token or module, the command, the exit
// status and the words that must (and must not) appear. Tokens come from
// SoftHSM2 (two real tokens with different PINs) and from the mock module
// (flags and objects no SoftHSM2 token gives: locked, final try, not
// initialised, CKA_SIGN false, an unsupported curve).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "client/proc.h"
#include "common/softhsm.h"
#include "pkcs11/mock/mock_p11.h"

using vardek::test::Command;
using vardek::test::Result;
using vardek::test::ScratchDir;
using vardek::test::SoftHsm;

namespace {

// Mock token flags: CKF_TOKEN_INITIALIZED | CKF_LOGIN_REQUIRED |
// CKF_USER_PIN_INITIALIZED, with CKF_USER_PIN_LOCKED or CKF_USER_PIN_FINAL_TRY.
const char *const locked_flags = "0x4040c";
const char *const final_try_flags = "0x2040c";

std::string replace_all(std::string s, const std::string &from, const std::string &to) {
  for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
    s.replace(p, from.size(), to);
  return s;
}

struct Case {
  const char *what;
  const char *mock;  // mock configuration (DATA: the key folder); null: SoftHSM2 or none
  std::vector<std::string> args;  // MOCK, SOFTHSM, EMPTY, DIR are replaced
  int status;                     // -1: any
  std::vector<std::string> says;
  std::vector<std::string> never = {};
  const char *pin = "1234";  // in the variable PIN
  bool no_login = false;     // the mock's call log must show no C_Login
};

const char *const ec_pair =
    "object class=public key=DATA/ec256.pem id=01 label=k\n"
    "object class=private key=DATA/ec256.pem id=01 label=k\n";

const std::vector<std::string> pin_env = {"--pin-env", "PIN"};

std::vector<std::string> with_pin(std::vector<std::string> args) {
  args.insert(args.begin(), pin_env.begin(), pin_env.end());
  return args;
}

class ClientExplains : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (SoftHsm::find_module().empty()) return;
    // "work" with PIN 1234, "home" with PIN 9999.
    two_ = SoftHsm::make({"--token", "work", "--key", "ec256:work-key:01", "--pin", "9999",
                          "--token", "home", "--key", "ec256:home-key:02"})
               .release();
  }
  static void TearDownTestSuite() {
    delete two_;
    two_ = nullptr;
  }

  Result run(const Case &c) {
    Command cmd;
    cmd.argv = {CLIENT_BIN};
    std::string empty = dir_.write("empty-pin", "");
    for (const auto &a : c.args) {
      std::string v = replace_all(a, "MOCK", VARDEK_MOCK_MODULE);
      v = replace_all(v, "NOFUNCLIST", VARDEK_MOCK_NOFUNCLIST_MODULE);
      v = replace_all(v, "SOFTHSM", two_ ? two_->module : "no-softhsm");
      v = replace_all(v, "EMPTY", empty);
      v = replace_all(v, "DIR", dir_.path());
      cmd.argv.push_back(v);
    }
    cmd.env["PIN"] = c.pin;
    if (two_) cmd.env["SOFTHSM2_CONF"] = two_->conf;
    if (c.mock) {
      std::string conf =
          replace_all(c.mock, "DATA", std::string(VARDEK_SOURCE_DIR) + "/tests/pkcs11/data");
      cmd.env[vardek::mock::kConfigEnv] = dir_.write("mock.conf", conf);
      cmd.env[vardek::mock::kLogEnv] = dir_.file("calls.log");
      std::remove(dir_.file("calls.log").c_str());
    }
    return cmd();
  }

  static SoftHsm *two_;
  ScratchDir dir_;
};
SoftHsm *ClientExplains::two_ = nullptr;

TEST_F(ClientExplains, EachMistakeGetsAnAnswerWithoutVerbose) {
  std::string two_tokens = std::string("slot id=1 label=card flags=initialized serial=A1\n") +
                           ec_pair +
                           "slot id=2 label=card flags=initialized serial=B2\n"
                           "object class=public key=DATA/rsa2048.pem id=02 label=r\n"
                           "object class=private key=DATA/rsa2048.pem id=02 label=r\n";
  std::string one_token = std::string("slot id=1 label=main flags=initialized\n") + ec_pair;
  std::string locked = std::string("slot id=1 label=main flags=") + locked_flags + "\n" + ec_pair;
  std::string final_try =
      std::string("slot id=1 label=main flags=") + final_try_flags + "\n" + ec_pair;
  std::string login =
      std::string("slot id=1 label=main flags=initialized,login_required\n") + ec_pair;
  const char *blank = "slot id=1 label=blank flags=login_required\n";
  std::string no_sign =
      "slot id=1 label=main flags=initialized,login_required\n"
      "object class=public key=DATA/ec256.pem id=01 label=nosign\n"
      "object class=private key=DATA/ec256.pem id=01 label=nosign sign=0 private=0\n"
      "object class=public key=DATA/secp256k1.pem id=03 label=k1\n"
      "object class=private key=DATA/secp256k1.pem id=03 label=k1\n"
      "object class=public key=DATA/rsa2048.pem id=02 label=r\n"
      "object class=private key=DATA/rsa2048.pem id=02 label=r\n";
  const std::string q = "?module-path=MOCK";

  const std::vector<Case> cases = {
      // 1: one PIN, several tokens that need it.
      {"one PIN for two tokens",
       nullptr,
       with_pin({"list", "SOFTHSM"}),
       1,
       // SoftHSM2 lists its tokens in an order of its own.
       {"the PIN would be tried on 2 tokens: ", "work", "home",
        "; each wrong try counts against that token's retries. The PIN was not sent. To select "
        "one: pkcs11:token="}},
      {"the refusal cost no retry",
       nullptr,
       {"tokens", "SOFTHSM"},
       0,
       {"token \"home\""},
       {"count low"}},
      {"the token the PIN fits",
       nullptr,
       with_pin({"list", "pkcs11:token=work?module-path=SOFTHSM"}),
       0,
       {"# token=work id=01 pkcs11:token=work;id=%01?module-path="}},
      {"--all-tokens names the token the PIN did not fit",
       nullptr,
       with_pin({"--all-tokens", "list", "SOFTHSM"}),
       0,
       {"token \"home\" (slot ", ") yielded no keys: the PIN was rejected (CKR_PIN_INCORRECT)"}},
      // 2: locked and final try: no PIN sent.
      {"locked",
       locked.c_str(),
       with_pin({"list", "MOCK"}),
       2,
       {"token \"main\" has its user PIN locked", "The PIN was not sent"},
       {"wrong PIN"},
       "1234",
       true},
      {"final try",
       final_try.c_str(),
       with_pin({"list", "MOCK"}),
       1,
       {"token \"main\" is on its final PIN try", "--final-try"},
       {},
       "1234",
       true},
      {"final try, sent on purpose",
       final_try.c_str(),
       with_pin({"--final-try", "list", "MOCK"}),
       0,
       {"ecdsa-sha2-nistp256 "}},
      {"locked, flags in words",
       locked.c_str(),
       {"tokens", "MOCK"},
       0,
       {"flags: initialised, login required, user PIN set, locked"}},
      // 3: the only token is not initialised.
      {"not initialised",
       blank,
       with_pin({"list", "MOCK"}),
       2,
       {"no keys: slot 1 holds a token that is not initialised"},
       {"wrong PIN", "rejected"}},
      // 4: URIs.
      {"tokn=",
       one_token.c_str(),
       {"list", "pkcs11:tokn=main" + q},
       0,
       {"unknown path attribute \"tokn\" is ignored (did you mean \"token\"?)"}},
      {"?modulepath=",
       one_token.c_str(),
       {"tokens", "pkcs11:token=main?modulepath=MOCK"},
       -1,
       {"unknown query attribute \"modulepath\" is ignored (did you mean \"module-path\"?)"}},
      {";module-path=",
       one_token.c_str(),
       {"tokens", "pkcs11:token=main;module-path=MOCK"},
       -1,
       {"module-path belongs in the query, after \"?\""}},
      {"object=p265",
       one_token.c_str(),
       {"list", "pkcs11:object=p265" + q},
       0,
       {"no object labelled \"p265\" is visible", "vardek offers every key of the token"}},
      {"serial= does not tell two cards apart",
       two_tokens.c_str(),
       {"list", "pkcs11:token=card;serial=B2" + q},
       0,
       {"serial= is ignored: vardek selects tokens by token=, manufacturer=",
        "vardek selects all 2 tokens: \"card\" (serial A1), \"card\" (serial B2)"}},
      {"id=%zz",
       one_token.c_str(),
       {"list", "pkcs11:id=%zz" + q},
       1,
       {"malformed percent-coding in id=%zz"},
       {"vardek ended"}},
      {"token=%4",
       one_token.c_str(),
       {"check", "pkcs11:token=%4" + q},
       1,
       {"malformed percent-coding in token=%4"}},
      // 5: module paths.
      {"no such file",
       nullptr,
       {"list", "DIR/absent.so"},
       2,
       {"absent.so could not be loaded or "
        "initialised: no such file"}},
      {"a directory", nullptr, {"list", "DIR"}, 2, {"a directory, not a module file"}},
      {"not a shared library", nullptr, {"list", "DIR/empty-pin"}, 2, {"not a shared library"}},
      {"a bare name", nullptr, {"list", "libz"}, 2, {"a bare name"}},
      {"a relative path",
       nullptr,
       {"list", "lib/no-module.so"},
       2,
       {"no such file (a relative path, taken from the current directory"}},
      {"no C_GetFunctionList",
       nullptr,
       {"list", "NOFUNCLIST"},
       2,
       {"no C_GetFunctionList: a shared library, but not a PKCS#11 module"}},
      // 6: keys that cannot sign, keys on unsupported curves.
      {"CKA_SIGN false in list",
       no_sign.c_str(),
       with_pin({"list", "MOCK"}),
       0,
       {"# cannot sign: CKA_SIGN is false", "\n# ecdsa-sha2-nistp256 ",
        "public key \"k1\" (CKA_ID 03): unsupported curve secp256k1"}},
      {"CKA_SIGN false in check",
       no_sign.c_str(),
       with_pin({"check", "MOCK"}),
       3,
       {"FAILED: the token does not let this key sign (C_SignInit: "
        "CKR_KEY_FUNCTION_NOT_PERMITTED"},
       {"ALWAYS_AUTHENTICATE"}},
      // 8: -v adds names to vardek's numbers and leaves out its refcounts.
      {"-v",
       login.c_str(),
       with_pin({"-v", "list", "MOCK"}),
       2,
       {"C_Login failed: 160 [CKR_PIN_INCORRECT]", " [initialised, login required"},
       {"refcount"},
       "0000"},
      {"wrong PIN on the mock",
       login.c_str(),
       with_pin({"list", "MOCK"}),
       2,
       {"no keys: token \"main\": the PIN was rejected (CKR_PIN_INCORRECT)"},
       {},
       "0000"},
      // 9: small things.
      {"--pin",
       nullptr,
       {"--pin", "1234", "list", "MOCK"},
       1,
       {"--pin-file FILE", "--pin-env VAR"}},
      {"--help",
       nullptr,
       {"--help"},
       0,
       {"tokens    the module's slots", "--all-tokens     send the PIN"}},
      {"empty PIN",
       login.c_str(),
       {"--pin-file", "EMPTY", "list", "MOCK"},
       2,
       {"it needs a login and no PIN was given (the PIN is empty)"},
       {"rejected", "wrong PIN"}},
  };
  for (const auto &c : cases) {
    if (c.mock == nullptr && !two_ && c.args.size() > 1 &&
        c.args.back().find("SOFTHSM") != std::string::npos)
      continue;  // no SoftHSM2 on this machine
    Result r = run(c);
    std::string all = r.out + r.err;
    if (c.status >= 0) {
      EXPECT_EQ(r.status, c.status) << c.what << ":\n" << all;
    }
    for (const auto &w : c.says)
      EXPECT_NE(all.find(w), std::string::npos) << c.what << ": no \"" << w << "\" in\n" << all;
    for (const auto &w : c.never)
      EXPECT_EQ(all.find(w), std::string::npos) << c.what << ": \"" << w << "\" in\n" << all;
    if (c.no_login) {
      auto calls = vardek::mock::read_call_log(dir_.file("calls.log"));
      EXPECT_EQ(vardek::mock::count_calls(calls, "C_Login"), 0u) << c.what;
    }
  }
}

// OpenSC without pcscd: the client says so (skipped where pcscd runs or
// OpenSC is missing).
TEST_F(ClientExplains, OpenScWithoutPcscdIsNamed) {
  const char *opensc = "/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so";
  struct stat st;
  if (stat(opensc, &st) != 0 || stat("/run/pcscd/pcscd.comm", &st) == 0)
    GTEST_SKIP() << "needs OpenSC and no running pcscd";
  Command cmd;
  cmd.argv = {CLIENT_BIN, "--no-pin", "list", opensc};
  Result r = cmd();
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find("pcscd is not running"), std::string::npos) << r.err;
}

}  // namespace
