// vardek-client driving the real vardek against SoftHSM2 tokens: what list,
// sign and check print for real keys, checked with an independent SSH key
// parser and signature verifier (sshcheck.py), the PIN sources against a
// real login, and the exit statuses of the usual token problems.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "client/proc.h"
#include "client/secret.h"
#include "client/session.h"
#include "common/softhsm.h"

using vardek::test::Command;
using vardek::test::Result;
using vardek::test::ScratchDir;
using vardek::test::SoftHsm;

namespace {

const char *const pin_var = "VARDEK_TEST_TOKEN_PIN";

std::vector<std::string> split_lines(const std::string &s) {
  std::vector<std::string> v;
  std::stringstream ss(s);
  for (std::string l; std::getline(ss, l);) v.push_back(l);
  return v;
}

std::vector<std::string> words(const std::string &s) {
  std::vector<std::string> v;
  std::stringstream ss(s);
  for (std::string w; ss >> w;) v.push_back(w);
  return v;
}

size_t count(const std::string &hay, const std::string &needle) {
  size_t n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) n++;
  return n;
}

// One key as `list` prints it: "# N KIND BITS SHA256:...", the key line and,
// when the client found the key on a token, "# token=L id=HEX URI".
struct Listed {
  std::string index, kind, fingerprint, line, label, place;
};

// The keys of `list` output; an empty result when the output has another
// shape.
std::vector<Listed> parse_list(const std::string &out) {
  std::vector<Listed> keys;
  auto l = split_lines(out);
  for (size_t i = 0; i < l.size();) {
    auto c = words(l[i]);
    if (c.size() != 5 || c[0] != "#" || i + 1 >= l.size()) return {};
    auto k = words(l[i + 1]);
    if (k.size() != 3) return {};
    Listed key{c[1], c[2] + " " + c[3], c[4], l[i + 1], k[2], ""};
    i += 2;
    if (i < l.size() && l[i].starts_with("# token=")) key.place = l[i++];
    keys.push_back(key);
  }
  return keys;
}

class ClientSoftHsm : public ::testing::Test {
 protected:
  // One token with the kinds of key vardek serves: an RSA key pair, an EC
  // key pair, and an RSA private key whose only public half is a
  // certificate (listed under the certificate's subject).
  static void SetUpTestSuite() {
    have_softhsm_ = !SoftHsm::find_module().empty();
    if (!have_softhsm_) return;
    main_ =
        SoftHsm::make({"--token", "vardek-client", "--key", "rsa2048:rsa-key:01", "--key",
                       "ec256:ec-key:02", "--privkey", "rsa2048:cert-key:03", "--cert", "cert-key"})
            .release();
    if (main_ == nullptr) setup_error_ = SoftHsm::last_error();
  }

  // A second token with an ordinary EC key and one that needs a login for
  // every signature; only one test needs it.
  static std::unique_ptr<SoftHsm> make_auth_token(std::string &why) {
    auto t = SoftHsm::make({"--token", "vardek-auth", "--key", "ec256:plain-key:01"});
    if (!t) {
      why = SoftHsm::last_error();
      return nullptr;
    }
    Command gen;
    gen.argv = {"/usr/bin/env", "pkcs11-tool",   "--module", t->module, "--token-label",
                "vardek-auth",  "--login",       "--pin",    "1234",    "--keypairgen",
                "--key-type",   "EC:prime256v1", "--id",     "02",      "--label",
                "aa-key",       "--always-auth"};
    gen.env["SOFTHSM2_CONF"] = t->conf;
    Result r = gen();
    if (r.status != 0) {
      why = "pkcs11-tool --always-auth failed: " + r.err;
      return nullptr;
    }
    return t;
  }
  static void TearDownTestSuite() {
    delete main_;
    main_ = nullptr;
  }

  void SetUp() override {
    if (!have_softhsm_) GTEST_SKIP() << "SoftHSM2 is not installed";
    ASSERT_TRUE(setup_error_.empty()) << setup_error_;
    ASSERT_NE(main_, nullptr);
    ASSERT_FALSE(dir_.path().empty());
  }

  // The client (which starts the vardek beside it) with `args`, SOFTHSM2_CONF
  // pointing at `token` and the PIN variable holding `pin`.
  Result client(std::vector<std::string> args, const SoftHsm *token = nullptr,
                const std::string &pin = "1234",
                std::map<std::string, std::string> env = {}) const {
    Command c;
    c.argv = {CLIENT_BIN};
    c.argv.insert(c.argv.end(), args.begin(), args.end());
    c.env = std::move(env);
    c.env.emplace("SOFTHSM2_CONF", (token ? token : main_)->conf);
    c.env.emplace(pin_var, pin);
    return c();
  }
  // The same with the PIN from the environment variable.
  Result with_pin(std::vector<std::string> args, const SoftHsm *token = nullptr) const {
    args.insert(args.begin(), {"--pin-env", pin_var});
    return client(std::move(args), token);
  }

  static std::string module() { return main_->module; }

  // Runs the independent checker; its standard output, "" on failure.
  std::string sshcheck(std::vector<std::string> args) const {
    Command c;
    c.argv = {PYTHON, std::string(VARDEK_TEST_DIR) + "/sshcheck.py"};
    c.argv.insert(c.argv.end(), args.begin(), args.end());
    Result r = c();
    EXPECT_EQ(r.status, 0) << r.err;
    return r.status == 0 ? r.out : "";
  }

  // The main token's keys as list shows them; fails the test when list fails.
  std::vector<Listed> listed() {
    Result r = with_pin({"list", module()});
    EXPECT_EQ(r.status, 0) << r.err;
    auto keys = parse_list(r.out);
    EXPECT_EQ(keys.size(), 3u) << r.out;
    return keys;
  }
  static const Listed *by_label(const std::vector<Listed> &keys, const std::string &label) {
    auto it =
        std::find_if(keys.begin(), keys.end(), [&](const Listed &k) { return k.label == label; });
    return it == keys.end() ? nullptr : &*it;
  }

  static SoftHsm *main_;
  static bool have_softhsm_;
  static std::string setup_error_;
  ScratchDir dir_;
};
SoftHsm *ClientSoftHsm::main_ = nullptr;
bool ClientSoftHsm::have_softhsm_ = false;
std::string ClientSoftHsm::setup_error_;

// --- list ---------------------------------------------------------------

TEST_F(ClientSoftHsm, ListShowsEveryKeyOfTheTokenAsALineAnIndependentParserReads) {
  Result r = with_pin({"list", module()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");  // no progress line when stderr is not a terminal
  auto keys = parse_list(r.out);
  ASSERT_EQ(keys.size(), 3u) << r.out;
  const struct {
    const char *label, *kind, *type, *pem, *id;
  } want[] = {
      {"rsa-key", "RSA 2048", "ssh-rsa", "rsa-key.pub.pem", "01"},
      {"ec-key", "ECDSA 256", "ecdsa-sha2-nistp256", "ec-key.pub.pem", "02"},
      {"/CN=cert-key", "RSA 2048", "ssh-rsa", "cert-key.pub.pem", "03"},
  };
  for (const auto &w : want) {
    const Listed *k = by_label(keys, w.label);
    ASSERT_NE(k, nullptr) << w.label << " missing from\n" << r.out;
    EXPECT_EQ(k->kind, w.kind);
    // The token and CKA_ID, and a URI that selects this key and no other.
    std::string uri =
        "pkcs11:token=vardek-client;id=%" + std::string(w.id) + "?module-path=" + module();
    EXPECT_EQ(k->place, "# token=vardek-client id=" + std::string(w.id) + " " + uri);
    Result one = with_pin({"list", uri});
    auto only = parse_list(one.out);
    ASSERT_EQ(only.size(), 1u) << one.out << one.err;
    EXPECT_EQ(only[0].line, k->line);
    EXPECT_TRUE(k->line.starts_with(std::string(w.type) + " ")) << k->line;
    // The key line holds the public key that was put on the token.
    Command py;
    py.argv = {PYTHON, "-c",
               "import sys\n"
               "from cryptography.hazmat.primitives import serialization as s\n"
               "k = s.load_pem_public_key(open(sys.argv[1], 'rb').read())\n"
               "print(k.public_bytes(s.Encoding.OpenSSH, s.PublicFormat.OpenSSH).decode())\n",
               main_->path(w.pem)};
    Result pub = py();
    ASSERT_EQ(pub.status, 0) << pub.err;
    EXPECT_EQ(pub.out, k->line.substr(0, k->line.rfind(' ')) + "\n") << w.label;
  }
  for (size_t i = 0; i < keys.size(); i++) EXPECT_EQ(keys[i].index, std::to_string(i + 1));

  // Every line parses, with the fingerprint the client printed for it.
  std::string parsed = sshcheck({"keys", dir_.write("authorized_keys", r.out)});
  auto pl = split_lines(parsed);
  ASSERT_EQ(pl.size(), keys.size()) << parsed;
  for (size_t i = 0; i < keys.size(); i++) {
    std::string kind = keys[i].kind == "RSA 2048" ? "rsa 2048 " : "ec 256 ";
    EXPECT_EQ(pl[i], kind + keys[i].fingerprint);
  }

  // A URI naming the token finds the same keys as the module path.
  Result uri = with_pin({"list", "pkcs11:token=vardek-client?module-path=" + module()});
  ASSERT_EQ(uri.status, 0) << uri.err;
  EXPECT_EQ(uri.out, r.out);
}

TEST_F(ClientSoftHsm, ListJsonParsesAndAgreesWithTheText) {
  auto keys = listed();
  ASSERT_EQ(keys.size(), 3u);
  Result r = with_pin({"--json", "list", module()});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string doc = dir_.write("list.json", r.out);
  // One run of the checker for the whole document: each key as a tuple.
  std::string want = "('ok', [";
  for (size_t i = 0; i < keys.size(); i++) {
    want += std::string(i ? ", " : "") + "(" + keys[i].index + ", '" + keys[i].fingerprint +
            "', '" + keys[i].label + "', " + words(keys[i].kind)[1] + ", '" + keys[i].line + "')";
  }
  want += "], True)\n";
  EXPECT_EQ(sshcheck({"json", doc,
                      "d['status'], [(k['index'], k['fingerprint'], k['label'], k['bits'], "
                      "k['public_key']) for k in d['keys']], d['provider'] == '" +
                          module() + "'"}),
            want);
}

// --- sign ---------------------------------------------------------------

TEST_F(ClientSoftHsm, SignaturesOfEveryKeyAndHashVerifyIndependently) {
  auto keys = listed();
  ASSERT_EQ(keys.size(), 3u);
  const Listed *rsa = by_label(keys, "rsa-key");
  const Listed *ec = by_label(keys, "ec-key");
  const Listed *cert = by_label(keys, "/CN=cert-key");
  ASSERT_TRUE(rsa && ec && cert);
  std::string data = dir_.write("data", "a file to be signed on the token\n");
  const struct {
    const Listed *key;
    std::string select;  // --key
    const char *alg;     // --alg, or nullptr
    const char *want;
  } cases[] = {
      {rsa, rsa->index, "rsa-sha2-256", "rsa-sha2-256"},
      {rsa, rsa->index, "rsa-sha2-512", "rsa-sha2-512"},
      {rsa, rsa->fingerprint, nullptr, "rsa-sha2-512"},
      {cert, cert->fingerprint, "rsa-sha2-256", "rsa-sha2-256"},
      // Several ECDSA signatures, so that an r or s with its top bit set
      // (written with a leading zero) is likely among them.
      {ec, ec->index, nullptr, "ecdsa-sha2-nistp256"},
      {ec, ec->fingerprint, nullptr, "ecdsa-sha2-nistp256"},
      {ec, ec->fingerprint.substr(7), nullptr, "ecdsa-sha2-nistp256"},
  };
  for (const auto &c : cases) {
    std::vector<std::string> args{"sign", module(), "--key", c.select, "--in", data};
    if (c.alg) args.insert(args.end(), {"--alg", c.alg});
    Result r = with_pin(args);
    ASSERT_EQ(r.status, 0) << c.key->label << " " << c.want << ": " << r.err;
    auto out = split_lines(r.out);
    ASSERT_EQ(out.size(), 1u) << r.out;
    EXPECT_EQ(sshcheck({"verify", c.key->line, data, out[0]}), std::string(c.want) + "\n");
    EXPECT_EQ(r.err, "vardek-client: key " + c.key->index + " (" + c.key->kind + " " +
                         c.key->fingerprint + "): " + c.want + " signature verified\n");
  }

  // --json gives the same kind of blob and says it verified.
  Result r = with_pin({"--json", "sign", module(), "--key", ec->index, "--in", data});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string doc = dir_.write("sign.json", r.out);
  EXPECT_EQ(sshcheck({"json", doc, "d['status'], d['verified'], d['algorithm'], d['fingerprint']"}),
            "('ok', True, 'ecdsa-sha2-nistp256', '" + ec->fingerprint + "')\n");
  std::string sig = sshcheck({"json", doc, "d['signature']"});
  ASSERT_FALSE(sig.empty());
  sig.pop_back();
  EXPECT_EQ(sshcheck({"verify", ec->line, data, sig}), "ecdsa-sha2-nistp256\n");

  // A signature over other data does not verify: the checker is not a rubber stamp.
  std::string other = dir_.write("other", "different data\n");
  Command check;
  check.argv = {PYTHON, std::string(VARDEK_TEST_DIR) + "/sshcheck.py", "verify", ec->line, other,
                sig};
  EXPECT_EQ(check().status, 1);
}

// --- check --------------------------------------------------------------

TEST_F(ClientSoftHsm, CheckSignsWithEveryKeyAndReportsOk) {
  Result r = with_pin({"check", module()});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  auto l = split_lines(r.out);
  // A heading, three lines per key (key, token and URI, outcome), a summary.
  ASSERT_EQ(l.size(), 11u) << r.out;
  EXPECT_EQ(l[0], module() + ": 3 keys");
  EXPECT_EQ(l[10], "all 3 keys signed and verified");
  EXPECT_EQ(count(r.out, "     OK: rsa-sha2-512 signature of a random challenge verified\n"), 2u)
      << r.out;
  EXPECT_EQ(count(r.out, "     OK: ecdsa-sha2-nistp256 signature of a random challenge verified\n"),
            1u)
      << r.out;
  for (const char *label : {"  rsa-key", "  ec-key", "  /CN=cert-key"})
    EXPECT_NE(r.out.find(std::string(label) + "\n"), std::string::npos) << label;

  Result j = with_pin({"--json", "check", module()});
  ASSERT_EQ(j.status, 0) << j.err;
  std::string doc = dir_.write("check.json", j.out);
  EXPECT_EQ(sshcheck({"json", doc,
                      "d['status'], d['ok'], d['failed'], "
                      "sorted((k['label'], k['status'], k['algorithm'], k['type'], k['bits'], "
                      "k['token'], k['id']) for k in d['keys'])"}),
            "('ok', 3, 0, [('/CN=cert-key', 'ok', 'rsa-sha2-512', 'ssh-rsa', 2048, "
            "'vardek-client', '03'), ('ec-key', 'ok', 'ecdsa-sha2-nistp256', "
            "'ecdsa-sha2-nistp256', 256, 'vardek-client', '02'), ('rsa-key', 'ok', "
            "'rsa-sha2-512', 'ssh-rsa', 2048, 'vardek-client', '01')])\n");
}

// A key that needs a login for every signature cannot sign through vardek;
// the other keys of its token must still sign after it was tried.
TEST_F(ClientSoftHsm, AnAlwaysAuthenticateKeyFailsInWordsAndLeavesTheOtherKeysWorking) {
  std::string why;
  auto auth = make_auth_token(why);
  ASSERT_TRUE(auth) << why;
  Result r = with_pin({"check", auth->module}, auth.get());
  EXPECT_EQ(r.status, 3) << r.out << r.err;
  EXPECT_EQ(count(r.out,
                  "     FAILED: the key needs authentication for every signature "
                  "(CKA_ALWAYS_AUTHENTICATE), and vardek never asks for a PIN\n"),
            1u)
      << r.out;
  EXPECT_EQ(count(r.out, "     OK: ecdsa-sha2-nistp256 signature of a random challenge verified"),
            1u)
      << r.out;
  EXPECT_NE(r.out.find("1 of 2 keys failed\n"), std::string::npos) << r.out;

  // The same through vardek directly, in the order that matters: the refused
  // signature first, then the ordinary key on the same token.
  setenv("SOFTHSM2_CONF", auth->conf.c_str(), 1);
  vardek::client::Session s(VARDEK_BIN, 0);
  ASSERT_TRUE(s.start(why)) << why;
  vardek::client::Secret pin;
  ASSERT_TRUE(pin.assign("1234", 4));
  auto added = s.add(auth->module, pin);
  ASSERT_EQ(added.kind, vardek::client::AddResult::Kind::keys);
  ASSERT_EQ(added.ids.size(), 2u);
  auto aa = std::find_if(added.ids.begin(), added.ids.end(),
                         [](const auto &id) { return id.label == "aa-key"; });
  auto plain = std::find_if(added.ids.begin(), added.ids.end(),
                            [](const auto &id) { return id.label == "plain-key"; });
  ASSERT_TRUE(aa != added.ids.end() && plain != added.ids.end());
  vardek::agent::Bytes digest(32, 0x5a);
  for (int round = 0; round < 2; round++) {
    EXPECT_EQ(s.sign(aa->blob, digest).kind, vardek::client::SignResult::Kind::refused);
    auto ok = s.sign(plain->blob, digest);
    EXPECT_EQ(ok.kind, vardek::client::SignResult::Kind::signature) << "round " << round;
  }
  EXPECT_TRUE(s.remove(auth->module));
  s.finish();
}

// --- PINs and the usual token problems -----------------------------------

TEST_F(ClientSoftHsm, AWrongPinExitsTwoSayingAWrongPinIsTheUsualCause) {
  std::string data = dir_.write("data", "x");
  for (std::vector<std::string> args : {std::vector<std::string>{"list", module()},
                                        {"check", module()},
                                        {"sign", module(), "--key", "1", "--in", data}}) {
    args.insert(args.begin(), {"--pin-env", pin_var});
    Result r = client(args, nullptr, "0000");
    EXPECT_EQ(r.status, 2) << args[2];
    EXPECT_EQ(r.out, "") << args[2];
    EXPECT_NE(r.err.find("no keys: token \"vardek-client\": the PIN was rejected "
                         "(CKR_PIN_INCORRECT)"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("No PIN was given"), std::string::npos) << r.err;
  }
  Result j = client({"--pin-env", pin_var, "--json", "list", module()}, nullptr, "0000");
  EXPECT_EQ(j.status, 2);
  EXPECT_EQ(sshcheck({"json", dir_.write("j", j.out), "d['status']"}), "no-keys\n");

  // Without a PIN the token's private keys stay hidden: the same status,
  // with the missing PIN named.
  Result none = client({"--no-pin", "list", module()});
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.err.find("it needs a login and no PIN was given"), std::string::npos) << none.err;

  // The failed logins did not lock the token.
  EXPECT_EQ(listed().size(), 3u);
}

TEST_F(ClientSoftHsm, PinFileAndPinVariableLogIn) {
  const struct {
    const char *content;
    int status;
  } files[] = {
      {"1234\n", 0}, {"1234\r\n", 0}, {"1234", 0}, {"1234 \n", 2}, {"4321\n", 2},
  };
  for (const auto &f : files) {
    Result r = client({"--pin-file", dir_.write("pin", f.content), "list", module()});
    EXPECT_EQ(r.status, f.status) << "PIN file \"" << f.content << "\": " << r.err;
    if (f.status == 0) {
      EXPECT_EQ(parse_list(r.out).size(), 3u) << r.out;
    }
  }
  Result ok = client({"--pin-env", "MY_PIN", "check", module()}, nullptr, "", {{"MY_PIN", "1234"}});
  EXPECT_EQ(ok.status, 0) << ok.err;
  Result bad =
      client({"--pin-env", "MY_PIN", "check", module()}, nullptr, "", {{"MY_PIN", "12345"}});
  EXPECT_EQ(bad.status, 2) << bad.err;
}

TEST_F(ClientSoftHsm, ModuleProblemsExitTwoWithTheirCause) {
  const struct {
    std::string provider;
    std::map<std::string, std::string> env;
    const char *says;
  } cases[] = {
      {dir_.file("no-such-module.so"), {}, "could not be loaded or initialised: no such file"},
      {dir_.write("not-a-module.so", "just text\n"),
       {},
       "could not be loaded or initialised: not a shared library"},
      // SoftHSM2 without its configuration fails to initialise.
      {module(), {{"SOFTHSM2_CONF", dir_.file("absent.conf")}}, "SOFTHSM2_CONF"},
      {"pkcs11:token=no-such-token?module-path=" + module(),
       {},
       "no token matches the URI (tokens: \"vardek-client\")"},
  };
  for (const auto &c : cases) {
    for (const char *cmd : {"list", "check"}) {
      Result r = client({"--pin-env", pin_var, cmd, c.provider}, nullptr, "1234", c.env);
      EXPECT_EQ(r.status, 2) << c.provider << " " << cmd << ": " << r.err;
      EXPECT_EQ(r.out, "");
      EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
  }
}

TEST_F(ClientSoftHsm, VerboseShowsVardeksLog) {
  Result quiet = with_pin({"list", module()});
  Result loud = with_pin({"-v", "list", module()});
  ASSERT_EQ(loud.status, 0) << loud.err;
  EXPECT_EQ(quiet.err, "");
  EXPECT_NE(loud.err.find("debug1: "), std::string::npos) << loud.err;
  EXPECT_NE(loud.err.find("label <vardek-client>"), std::string::npos) << loud.err;
  EXPECT_EQ(loud.out, quiet.out);
}

}  // namespace
