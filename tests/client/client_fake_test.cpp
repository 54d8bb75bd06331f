// vardek-client against a stand-in vardek (fake_vardek.cpp) answering from
// software keys: what the client sends, what it prints, its exit statuses
// and PIN sources, including answers a healthy token never gives.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <pty.h>

#include <cstdio>
#include <memory>

#include "client/proc.h"
#include "client/secret.h"
#include "common/bytes.h"

using vardek::test::Command;
using vardek::test::Result;
using vardek::test::ScratchDir;

namespace {

struct KeyFile {
  const char *name;
  const char *alg;
  const char *param;  // curve, or RSA bits
};
const KeyFile key_files[] = {
    {"rsa", "RSA", "2048"},
    {"p256", "EC", "P-256"},
    {"p384", "EC", "P-384"},
};

class FakeVardek : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    keys_ = new ScratchDir;
    for (const auto &kf : key_files) {
      EVP_PKEY *pk = std::string(kf.alg) == "RSA"
                         ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048})
                         : EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", kf.param);
      ASSERT_NE(pk, nullptr);
      FILE *f = fopen(keys_->file(std::string(kf.name) + ".pem").c_str(), "w");
      ASSERT_NE(f, nullptr);
      PEM_write_PrivateKey(f, pk, nullptr, nullptr, 0, nullptr, nullptr);
      fclose(f);
      EVP_PKEY_free(pk);
    }
  }
  static void TearDownTestSuite() {
    delete keys_;
    keys_ = nullptr;
  }

  // The client with `args` against the fake holding key `key` in `mode`.
  Result client(std::vector<std::string> args, const std::string &key = "rsa",
                const std::string &mode = "ok", std::map<std::string, std::string> env = {},
                const std::string &input = "") {
    Command r;
    r.argv = {CLIENT_BIN, "--vardek", FAKE_VARDEK};
    r.argv.insert(r.argv.end(), args.begin(), args.end());
    r.env = std::move(env);
    r.env["FAKE_VARDEK_KEY"] = keys_->file(key + ".pem");
    r.env["FAKE_VARDEK_MODE"] = mode;
    r.env["FAKE_VARDEK_LOG"] = dir_.file("fake.log");
    r.input = input;
    return r();
  }
  std::string fake_log() const { return dir_.read("fake.log"); }

  // Runs the independent checker; its standard output, "" on failure.
  std::string sshcheck(std::vector<std::string> args) {
    Command r;
    r.argv = {PYTHON, std::string(VARDEK_TEST_DIR) + "/sshcheck.py"};
    r.argv.insert(r.argv.end(), args.begin(), args.end());
    Result res = r();
    EXPECT_EQ(res.status, 0) << res.err;
    return res.status == 0 ? res.out : "";
  }

  static ScratchDir *keys_;
  ScratchDir dir_;
};
ScratchDir *FakeVardek::keys_ = nullptr;

std::vector<std::string> lines(const std::string &s) {
  std::vector<std::string> v;
  std::stringstream ss(s);
  for (std::string l; std::getline(ss, l);) v.push_back(l);
  return v;
}

std::string hex_nospace(const vardek::test::Bytes &b) {
  std::string h = vardek::test::to_hex(b);
  std::erase(h, ' ');
  return h;
}

vardek::test::Bytes digest(const char *md, const std::string &data) {
  vardek::test::Bytes out(EVP_MAX_MD_SIZE);
  unsigned n = 0;
  EVP_Digest(data.data(), data.size(), out.data(), &n, EVP_get_digestbyname(md), nullptr);
  out.resize(n);
  return out;
}

// --- list ---------------------------------------------------------------

TEST_F(FakeVardek, ListPrintsKeyLinesAnIndependentParserReadsWithTheSameFingerprint) {
  for (const auto &[key, want] :
       {std::pair{"rsa", "rsa 2048"}, {"p256", "ec 256"}, {"p384", "ec 384"}}) {
    Result r = client({"--no-pin", "list", "/some/module.so"}, key);
    ASSERT_EQ(r.status, 0) << r.err;
    auto l = lines(r.out);
    ASSERT_EQ(l.size(), 2u) << r.out;
    EXPECT_TRUE(l[1].ends_with(" fake key")) << l[1];
    std::string path = dir_.write("keys", r.out);
    std::string parsed = sshcheck({"keys", path});
    // "# 1 RSA 2048 SHA256:..." against "rsa 2048 SHA256:..." from python.
    std::string fp = parsed.substr(parsed.find("SHA256:"));
    fp.pop_back();
    EXPECT_EQ(parsed.substr(0, parsed.find(" SHA256:")), want);
    EXPECT_TRUE(l[0].starts_with("# 1 ")) << l[0];
    EXPECT_TRUE(l[0].ends_with(" " + fp)) << l[0] << " vs " << fp;
  }
}

TEST_F(FakeVardek, ListAddsWithThePinThenRemovesTheProvider) {
  std::string pinfile = dir_.write("pin", "1234\n");
  Result r = client({"--pin-file", pinfile, "list", "pkcs11:token=t1"});
  ASSERT_EQ(r.status, 0) << r.err;
  // vardek gets one -v always: its debug1 lines go to the client, which
  // shows them only with -v of its own.
  EXPECT_EQ(fake_log(), "argv -v\nadd pkcs11:token=t1 31323334\nremove pkcs11:token=t1\n");
}

TEST_F(FakeVardek, ListJsonCarriesTheSameKeyAsTheText) {
  Result text = client({"--no-pin", "list", "m.so"}, "p256");
  Result json = client({"--no-pin", "--json", "list", "m.so"}, "p256");
  ASSERT_EQ(json.status, 0) << json.err;
  std::string path = dir_.write("out.json", json.out);
  EXPECT_EQ(sshcheck({"json", path, "d['status'], len(d['keys']), d['keys'][0]['bits']"}),
            "('ok', 1, 256)\n");
  EXPECT_EQ(sshcheck({"json", path, "d['keys'][0]['public_key']"}), lines(text.out)[1] + "\n");
  EXPECT_EQ(sshcheck({"json", path, "d['keys'][0]['fingerprint']"}),
            lines(text.out)[0].substr(lines(text.out)[0].find("SHA256:")) + "\n");
}

TEST_F(FakeVardek, LabelsFromTheTokenCannotBreakLinesOrJson) {
  std::map<std::string, std::string> env{{"FAKE_VARDEK_LABEL", "evil\nssh-rsa AAAA x\\y"}};
  Result r = client({"--no-pin", "list", "m.so"}, "p256", "ok", env);
  ASSERT_EQ(r.status, 0) << r.err;
  auto l = lines(r.out);
  ASSERT_EQ(l.size(), 2u) << r.out;
  EXPECT_TRUE(l[1].ends_with(" evil\\x0assh-rsa AAAA x\\x5cy")) << l[1];
  r = client({"--no-pin", "--json", "list", "m.so"}, "p256", "ok", env);
  std::string path = dir_.write("out.json", r.out);
  EXPECT_EQ(sshcheck({"json", path, "repr(d['keys'][0]['label'])"}),
            "'evil\\nssh-rsa AAAA x\\\\y'\n");
}

// --- sign ---------------------------------------------------------------

TEST_F(FakeVardek, SignRsaSendsTheDigestInfoAndPrintsABlobThatVerifiesIndependently) {
  const std::string data = "data to be signed\n";
  std::string in = dir_.write("data", data);
  const struct {
    const char *alg;  // nullptr: the default
    const char *want;
    const char *md;
    const char *prefix;
  } cases[] = {
      {"rsa-sha2-256", "rsa-sha2-256", "SHA256", "3031300d060960864801650304020105000420"},
      {"rsa-sha2-512", "rsa-sha2-512", "SHA512", "3051300d060960864801650304020305000440"},
      {nullptr, "rsa-sha2-512", "SHA512", "3051300d060960864801650304020305000440"},
  };
  Result list = client({"--no-pin", "list", "m.so"});
  std::string keyline = lines(list.out)[1];
  for (const auto &c : cases) {
    std::remove(dir_.file("fake.log").c_str());
    std::vector<std::string> args{"--no-pin", "sign", "m.so", "--key", "1", "--in", in};
    if (c.alg) args.insert(args.end(), {"--alg", c.alg});
    Result r = client(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sshcheck({"verify", keyline, in, lines(r.out).at(0)}), std::string(c.want) + "\n");
    std::string sent = std::string(c.prefix) + hex_nospace(digest(c.md, data));
    EXPECT_NE(fake_log().find("\nsign " + sent + "\n"), std::string::npos) << fake_log();
  }
}

TEST_F(FakeVardek, SignEcdsaSendsTheCurvesDigestAndConvertsDerToSshForm) {
  const std::string data(100000, 'x');  // larger than any request vardek takes
  std::string in = dir_.write("data", data);
  for (const auto &[key, md] : {std::pair{"p256", "SHA256"}, {"p384", "SHA384"}}) {
    std::remove(dir_.file("fake.log").c_str());
    Result list = client({"--no-pin", "list", "m.so"}, key);
    std::string keyline = lines(list.out)[1];
    std::string fp = lines(list.out)[0].substr(lines(list.out)[0].find("SHA256:"));
    // Several signatures, so that r or s with the top bit set (an mpint
    // with a leading zero) comes up.
    for (int i = 0; i < 6; i++) {
      Result r = client({"--no-pin", "sign", "m.so", "--key", fp, "--in", in}, key);
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(sshcheck({"verify", keyline, in, lines(r.out).at(0)}),
                "ecdsa-sha2-nistp" + std::string(key + 1) + "\n");
    }
    EXPECT_NE(fake_log().find("\nsign " + hex_nospace(digest(md, data)) + "\n"), std::string::npos);
  }
}

TEST_F(FakeVardek, SignReadsStandardInputAndSelectsByFingerprintWithoutPrefix) {
  Result list = client({"--no-pin", "list", "m.so"}, "p256");
  std::string fp = lines(list.out)[0].substr(lines(list.out)[0].find("SHA256:") + 7);
  Result r = client({"--pin-env", "NOPE_UNUSED", "sign", "m.so", "--key", fp, "--in", "-"}, "p256",
                    "ok", {{"NOPE_UNUSED", "1"}}, "from stdin");
  ASSERT_EQ(r.status, 0) << r.err;
  std::string in = dir_.write("data", "from stdin");
  EXPECT_EQ(sshcheck({"verify", lines(list.out)[1], in, lines(r.out).at(0)}),
            "ecdsa-sha2-nistp256\n");
}

TEST_F(FakeVardek, SignJsonSaysVerifiedAndGivesTheSameBlob) {
  std::string in = dir_.write("data", "abc");
  Result r = client({"--no-pin", "--json", "sign", "m.so", "--key", "1", "--in", in});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string path = dir_.write("out.json", r.out);
  EXPECT_EQ(sshcheck({"json", path, "d['status'], d['verified'], d['algorithm'], d['index']"}),
            "('ok', True, 'rsa-sha2-512', 1)\n");
  Result list = client({"--no-pin", "list", "m.so"});
  std::string sig = sshcheck({"json", path, "d['signature']"});
  sig.pop_back();
  EXPECT_EQ(sshcheck({"verify", lines(list.out)[1], in, sig}), "rsa-sha2-512\n");
}

TEST_F(FakeVardek, SignArgumentErrorsExitOneWithoutSigning) {
  std::string in = dir_.write("data", "abc");
  struct {
    std::vector<std::string> args;
    const char *key;
    const char *says;
  } cases[] = {
      {{"--key", "2", "--in", in}, "rsa", "no key 2 among the 1 keys"},
      {{"--key", "SHA256:AAAA", "--in", in}, "rsa", "no key SHA256:AAAA"},
      {{"--key", "1", "--in", in, "--alg", "rsa-sha2-256"}, "p256", "--alg applies to RSA"},
      {{"--key", "1", "--in", dir_.file("missing")}, "rsa", "cannot open"},
  };
  for (const auto &c : cases) {
    std::remove(dir_.file("fake.log").c_str());
    std::vector<std::string> args{"--no-pin", "sign", "m.so"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Result r = client(args, c.key);
    EXPECT_EQ(r.status, 1) << c.says;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(fake_log().find("sign "), std::string::npos) << fake_log();
  }
}

// --- failures and exit statuses ------------------------------------------

TEST_F(FakeVardek, AProviderRefusalExitsTwoWithItsCause) {
  const struct {
    const char *mode;
    const char *code;
    const char *says;
  } cases[] = {
      {"reason0", "no-keys", "A wrong PIN is the usual cause"},
      {"reason1", "module-failed", "could not be loaded or initialised"},
      {"reason3", "no-token", "no slot with a token"},
  };
  for (const auto &c : cases) {
    for (const char *cmd : {"list", "check"}) {
      Result r = client({"--no-pin", cmd, "m.so"}, "rsa", c.mode);
      EXPECT_EQ(r.status, 2) << c.mode;
      EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
      EXPECT_EQ(r.out, "");
    }
    Result r = client({"--no-pin", "--json", "list", "m.so"}, "rsa", c.mode);
    EXPECT_EQ(r.status, 2);
    std::string path = dir_.write("out.json", r.out);
    EXPECT_EQ(sshcheck({"json", path, "d['status']"}), std::string(c.code) + "\n");
  }
  // Only a missing PIN adds its own hint.
  Result r = client({"--no-pin", "list", "m.so"}, "rsa", "reason0");
  EXPECT_NE(r.err.find("No PIN was given"), std::string::npos) << r.err;
  r = client({"--pin-file", dir_.write("pin", "0000"), "list", "m.so"}, "rsa", "reason0");
  EXPECT_EQ(r.err.find("No PIN was given"), std::string::npos) << r.err;
}

TEST_F(FakeVardek, ASignatureThatFailsExitsThreeWithItsCause) {
  std::string in = dir_.write("data", "abc");
  const struct {
    const char *mode;
    const char *key;
    const char *says;
  } cases[] = {
      {"refuse", "rsa", "authentication for every signature"},
      {"refuse", "p256", "not logged in"},
      {"corrupt", "rsa", "does not verify with the public key"},
      {"corrupt", "p256", "the signature"},
      {"die", "rsa", "vardek ended with status 255"},
      {"garbage", "p256", "malformed answer (message type 99)"},
  };
  for (const auto &c : cases) {
    Result r = client({"--no-pin", "sign", "m.so", "--key", "1", "--in", in}, c.key, c.mode);
    EXPECT_EQ(r.status, 3) << c.mode << " " << c.key;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.mode << ": " << r.err;
    EXPECT_EQ(r.out, "") << c.mode;
  }
}

TEST_F(FakeVardek, CheckReportsEachKeyInWords) {
  Result r = client({"--no-pin", "check", "m.so"}, "p256");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("OK: ecdsa-sha2-nistp256 signature of a random challenge verified"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("all 1 key signed and verified"), std::string::npos) << r.out;
  // A fresh challenge each time: two checks send different data.
  std::remove(dir_.file("fake.log").c_str());
  client({"--no-pin", "check", "m.so"}, "p256");
  client({"--no-pin", "check", "m.so"}, "p256");
  auto l = lines(fake_log());
  std::vector<std::string> signs;
  for (const auto &x : l)
    if (x.starts_with("sign ")) signs.push_back(x);
  ASSERT_EQ(signs.size(), 2u);
  EXPECT_NE(signs[0], signs[1]);

  r = client({"--no-pin", "check", "m.so"}, "rsa", "refuse");
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.out.find("FAILED: the token refused to sign"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("1 of 1 key failed"), std::string::npos) << r.out;

  r = client({"--no-pin", "--json", "check", "m.so"}, "rsa", "corrupt");
  EXPECT_EQ(r.status, 3);
  std::string path = dir_.write("out.json", r.out);
  EXPECT_EQ(sshcheck({"json", path, "d['status'], d['ok'], d['failed'], d['keys'][0]['status']"}),
            "('failed', 0, 1, 'bad-signature')\n");
}

TEST_F(FakeVardek, UsageErrorsExitOne) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"list"},
      {"frobnicate", "m.so"},
      {"list", "m.so", "extra"},
      {"sign", "m.so", "--in", "x"},
      {"sign", "m.so", "--key", "1", "--in", "x", "--alg", "ssh-rsa"},
      {"list", "m.so", "--key", "1"},
      {"--pin-file", "a", "--pin-env", "B", "list", "m.so"},
      {"--no-pin", "--pin-env", "B", "list", "m.so"},
      {"--pin", "1234", "list", "m.so"},
      {"--pin-file", "a", "--pin-file", "b", "list", "m.so"},
  };
  for (const auto &args : cases) {
    Result r = client(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("usage: vardek-client"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  Command help;
  help.argv = {CLIENT_BIN, "--help"};
  Result r = help();
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("usage: vardek-client"), std::string::npos);
}

TEST_F(FakeVardek, AVardekThatCannotRunExitsTwo) {
  Command r;
  r.argv = {CLIENT_BIN, "--no-pin", "--vardek", dir_.file("nothing-here"), "list", "m.so"};
  Result res = r();
  EXPECT_EQ(res.status, 2);
  EXPECT_NE(res.err.find("cannot run"), std::string::npos) << res.err;
}

TEST_F(FakeVardek, VerboseIsPassedOnToVardek) {
  client({"-v", "--no-pin", "list", "m.so", "-v"});
  EXPECT_TRUE(fake_log().starts_with("argv -v -v\n")) << fake_log();
}

// --- PIN sources ----------------------------------------------------------

TEST_F(FakeVardek, PinFileGivesItsFirstLine) {
  const struct {
    const char *content;
    const char *sent;
  } cases[] = {
      {"1234\n", "31323334"},
      {"1234\r\n", "31323334"},
      {"1234", "31323334"},
      {"12 34\nsecond line\n", "3132203334"},
      {"", ""},
  };
  for (const auto &c : cases) {
    std::remove(dir_.file("fake.log").c_str());
    Result r = client({"--pin-file", dir_.write("pin", c.content), "list", "m.so"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(fake_log().find(std::string("\nadd m.so ") + c.sent + "\n"), std::string::npos)
        << fake_log();
  }
}

TEST_F(FakeVardek, PinFileProblemsExitOneBeforeVardekStarts) {
  std::string big(vardek::client::Secret::capacity + 1, '1');
  const struct {
    std::string path;
    const char *says;
  } cases[] = {
      {dir_.file("absent"), "cannot open PIN file"},
      {dir_.write("big", big), "holds more than a PIN"},
      {dir_.write("nul", std::string("12\0"
                                     "34",
                                     5)),
       "NUL"},
      {dir_.path(), "cannot read PIN file"},
  };
  for (const auto &c : cases) {
    std::remove(dir_.file("fake.log").c_str());
    Result r = client({"--pin-file", c.path, "list", "m.so"});
    EXPECT_EQ(r.status, 1) << c.says;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(fake_log(), "");
  }
  Result r = client({"--pin-file", dir_.write("open", "1\n", 0644), "list", "m.so"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("readable by other users"), std::string::npos) << r.err;
}

TEST_F(FakeVardek, PinVariableIsSentAndNotInheritedByVardek) {
  Result r = client({"--pin-env", "MY_TOKEN_PIN", "list", "m.so"}, "rsa", "ok",
                    {{"MY_TOKEN_PIN", "s3cret"}, {"FAKE_VARDEK_WATCH", "MY_TOKEN_PIN HOME"}});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string log = fake_log();
  EXPECT_NE(log.find("\nadd m.so 733363726574\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("env MY_TOKEN_PIN"), std::string::npos) << log;
  EXPECT_NE(log.find("env HOME"), std::string::npos) << log;  // the watch works

  r = client({"--pin-env", "MY_TOKEN_PIN", "list", "m.so"}, "rsa", "ok", {{"MY_TOKEN_PIN", ""}});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("PIN variable MY_TOKEN_PIN is not set"), std::string::npos) << r.err;
}

TEST_F(FakeVardek, WithoutASourceAndNoTerminalThePinIsEmpty) {
  Result r = client({"list", "m.so"}, "rsa", "ok", {}, "");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(fake_log().find("\nadd m.so \n"), std::string::npos) << fake_log();
}

TEST_F(FakeVardek, OnATerminalThePinIsAskedForWithoutEcho) {
  std::string log = dir_.file("fake.log");
  std::string keyfile = keys_->file("rsa.pem");
  int master;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setenv("FAKE_VARDEK_KEY", keyfile.c_str(), 1);
    setenv("FAKE_VARDEK_LOG", log.c_str(), 1);
    execl(CLIENT_BIN, CLIENT_BIN, "--vardek", FAKE_VARDEK, "list", "m.so", nullptr);
    _exit(127);
  }
  std::string screen;
  auto read_until = [&](const std::string &what) {
    char buf[512];
    while (screen.find(what) == std::string::npos) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0) return false;
      ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) return false;
      screen.append(buf, static_cast<size_t>(n));
    }
    return true;
  };
  ASSERT_TRUE(read_until("PIN for m.so: ")) << screen;
  ASSERT_EQ(write(master, "4321\n", 5), 5);
  read_until("fake key");
  int st;
  waitpid(pid, &st, 0);
  close(master);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << screen;
  EXPECT_EQ(screen.find("4321"), std::string::npos) << screen;
  EXPECT_NE(screen.find("ssh-rsa "), std::string::npos) << screen;
  EXPECT_NE(fake_log().find("\nadd m.so 34333231\n"), std::string::npos) << fake_log();
}

// Ctrl-C at the prompt ends the client by the signal, with echo back on and
// the cursor on a fresh line for the shell's prompt.
TEST_F(FakeVardek, ControlCAtThePromptLeavesTheTerminalOnANewLine) {
  int master;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execl(CLIENT_BIN, CLIENT_BIN, "--vardek", FAKE_VARDEK, "list", "m.so", nullptr);
    _exit(127);
  }
  std::string screen;
  char buf[512];
  auto read_some = [&] {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) return false;
    ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) return false;
    screen.append(buf, static_cast<size_t>(n));
    return true;
  };
  while (screen.find("PIN for m.so: ") == std::string::npos && read_some()) {
  }
  ASSERT_NE(screen.find("PIN for m.so: "), std::string::npos) << screen;
  ASSERT_EQ(write(master, "\x03", 1), 1);
  while (read_some()) {
  }
  int st;
  waitpid(pid, &st, 0);
  close(master);
  EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGINT) << st;
  EXPECT_TRUE(screen.ends_with("PIN for m.so: ^C\r\n") || screen.ends_with("PIN for m.so: \r\n"))
      << screen;
}

}  // namespace
