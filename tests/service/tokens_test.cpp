// Real tokens end to end: a vardek child loads SoftHSM2 tokens directly and
// through the p11-kit proxy, answers add requests byte for byte, and signs;
// every signature is checked by python3-cryptography (verify_sig.py), which
// shares no code with vardek and builds its own digests and DigestInfo.
//
// The failure paths that need a misbehaving module are covered with the mock
// module in tests/pkcs11; here the behaviour depends on what a real token
// does: its key kinds, certificates, login, slots and sessions.
//
// Tokens are made once per suite, and each suite makes only what its tests
// need, so a test run alone by ctest stays quick too; the large RSA keys are
// fixed test keys (tests/service/data) because generating them is slow.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "common/softhsm.h"
#include "service/e2e_keys.h"
#include "service/spawn.h"

namespace {

namespace agent = vardek::agent;
using agent::Bytes;
using vardek::test::SoftHsm;
using vardek::test::to_hex;
using vardek::test::Vardek;

constexpr int kWaitMs = 30000;
constexpr const char *kPin = "1234";

// --- helpers -----------------------------------------------------------------

using Pair = std::pair<Bytes, std::string>;  // (blob, label) of an answer

// The whole reply frame: length, type byte, body.
Bytes frame_of(const agent::Reply &r) {
  Bytes whole;
  agent::put_u32(whole, static_cast<uint32_t>(r.body.size() + 1));
  whole.push_back(r.type);
  whole.insert(whole.end(), r.body.begin(), r.body.end());
  return whole;
}

Bytes identities_frame(const std::vector<Pair> &ids) {
  Bytes body{12};
  agent::put_u32(body, static_cast<uint32_t>(ids.size()));
  for (const auto &[blob, label] : ids) {
    agent::put_string(body, blob);
    agent::put_string(body, label);
  }
  return agent::frame(body);
}

std::string hex_reply(Vardek &v, const Bytes &request) {
  auto r = v.child.call(request, kWaitMs);
  return r ? to_hex(frame_of(*r)) : "no reply";
}

// Sends an add request and returns the answer's pairs in answer order;
// nullopt (with a test failure) when the reply is not an identities answer.
std::optional<std::vector<Pair>> add(Vardek &v, const std::string &name,
                                     const std::string &pin = kPin) {
  auto r = v.child.call(agent::add_request(name, pin), kWaitMs);
  if (!r) {
    ADD_FAILURE() << "no reply to the add of " << name;
    return std::nullopt;
  }
  auto ids = agent::parse_identities(*r);
  if (!ids) {
    ADD_FAILURE() << "add of " << name << " answered " << to_hex(frame_of(*r));
    return std::nullopt;
  }
  std::vector<Pair> out;
  for (auto &id : *ids) out.emplace_back(std::move(id.blob), std::move(id.label));
  // parse_identities accepts only a count that matches the entries; the
  // frame must moreover be exactly those entries and nothing else.
  EXPECT_EQ(to_hex(frame_of(*r)), to_hex(identities_frame(out)));
  return out;
}

std::vector<Pair> sorted(std::vector<Pair> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// The signature of a sign reply; empty (with a test failure) when the reply
// is not a sign response whose frame is exactly 0e + string(signature).
Bytes sign(Vardek &v, const Bytes &blob, const Bytes &data, uint32_t flags = 0) {
  auto r = v.child.call(agent::sign_request(blob, data, flags), kWaitMs);
  if (!r) {
    ADD_FAILURE() << "no reply to a sign request";
    return {};
  }
  auto sig = agent::parse_signature(*r);
  if (!sig) {
    ADD_FAILURE() << "sign answered " << to_hex(frame_of(*r));
    return {};
  }
  Bytes body{14};
  agent::put_string(body, *sig);
  EXPECT_EQ(to_hex(frame_of(*r)), to_hex(agent::frame(body)));
  return *sig;
}

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes digest(const EVP_MD *md, std::string_view msg) {
  unsigned char h[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EXPECT_EQ(EVP_Digest(msg.data(), msg.size(), h, &n, md, nullptr), 1);
  return Bytes(h, h + n);
}

// The DigestInfo an agent sends for rsa-sha2-256 / rsa-sha2-512: the DER
// prefix of RFC 8017 section 9.2, note 1, then the digest. The checker
// builds its own, so a wrong prefix here makes the signature fail there.
Bytes digest_info(bool sha512, std::string_view msg) {
  Bytes di =
      sha512 ? vardek::test::from_hex("30 51 30 0d 06 09 60 86 48 01 65 03 04 02 03 05 00 04 40")
             : vardek::test::from_hex("30 31 30 0d 06 09 60 86 48 01 65 03 04 02 01 05 00 04 20");
  Bytes h = digest(sha512 ? EVP_sha512() : EVP_sha256(), msg);
  di.insert(di.end(), h.begin(), h.end());
  return di;
}

// Sign request flags an agent sets for these digests. vardek ignores them:
// the data it gets is already the DigestInfo to pad and sign.
constexpr uint32_t kRsaSha256 = 2, kRsaSha512 = 4;

// "SHA256:" and the unpadded base64 of the blob's SHA-256 digest.
std::string fingerprint(const Bytes &blob) {
  unsigned char h[SHA256_DIGEST_LENGTH];
  SHA256(blob.data(), blob.size(), h);
  unsigned char b64[4 * ((SHA256_DIGEST_LENGTH + 2) / 3) + 1];
  int n = EVP_EncodeBlock(b64, h, sizeof h);
  std::string s(reinterpret_cast<char *>(b64), static_cast<size_t>(n));
  while (!s.empty() && s.back() == '=') s.pop_back();
  return "SHA256:" + s;
}

size_t count(const std::string &hay, const std::string &needle) {
  size_t n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) n++;
  return n;
}

bool has(const std::string &hay, const std::string &needle) {
  return hay.find(needle) != std::string::npos;
}

// A temporary directory removed with the object.
struct TempDir {
  std::string path;
  TempDir() {
    const char *t = getenv("TMPDIR");
    std::string tmpl = std::string(t != nullptr && *t != '\0' ? t : "/tmp") + "/vardek-tok-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) path = buf.data();
  }
  ~TempDir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
  std::string write(const std::string &name, const Bytes &b) const {
    std::string p = path + "/" + name;
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
    return p;
  }
};

// Signatures handed to verify_sig.py in one run, one result line each.
class Checker {
 public:
  // `alg` as verify_sig.py takes it; `key_pem` a public key or certificate;
  // `message` the signed message before any hashing.
  void add(const std::string &alg, const std::string &key_pem, std::string_view message,
           const Bytes &sig, const std::string &what) {
    size_t n = what_.size();
    args_.push_back(alg);
    args_.push_back(key_pem);
    args_.push_back(dir_.write("m" + std::to_string(n), text(message)));
    args_.push_back(dir_.write("s" + std::to_string(n), sig));
    what_.push_back(what);
  }

  // As add(), with the key given by the public key blob vardek answered;
  // the checker decodes it on its own.
  void add_blob(const std::string &alg, const Bytes &blob, std::string_view message,
                const Bytes &sig, const std::string &what) {
    std::string type;
    agent::Reader(blob).string(type);
    std::string b64(4 * ((blob.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(b64.data()), blob.data(),
                            static_cast<int>(blob.size()));
    b64.resize(n > 0 ? static_cast<size_t>(n) : 0);
    add(alg, dir_.write("k" + std::to_string(what_.size()), text(type + " " + b64 + "\n")), message,
        sig, what);
  }

  // Runs the checker; returns "<what>: <result>" lines in the order added.
  std::vector<std::string> run() {
    std::string cmd =
        quote(VARDEK_PYTHON) + " " + quote(std::string(VARDEK_TEST_DIR) + "/verify_sig.py");
    for (const auto &a : args_) cmd += " " + quote(a);
    cmd += " 2>&1";
    std::vector<std::string> out;
    FILE *f = popen(cmd.c_str(), "r");
    if (f == nullptr) return out;
    std::string all;
    char chunk[512];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) all.append(chunk, n);
    pclose(f);
    size_t start = 0, i = 0;
    for (size_t nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1, i++)
      out.push_back((i < what_.size() ? what_[i] : "extra") + ": " + all.substr(start, nl - start));
    if (start < all.size()) out.push_back("extra: " + all.substr(start));
    return out;
  }

  // What run() gives when every signature verifies.
  std::vector<std::string> all_ok() const {
    std::vector<std::string> v;
    for (const auto &w : what_) v.push_back(w + ": ok");
    return v;
  }

 private:
  static std::string quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
  }
  TempDir dir_;
  std::vector<std::string> args_, what_;
};

// A key the script made: its PEM file, SSH blob and label.
struct TokenKey {
  std::string label, pem;
  Bytes blob;
};

TokenKey key_of(const SoftHsm &tok, const std::string &label) {
  TokenKey k{label, tok.path(label + ".pub.pem"), {}};
  auto pk = vardek::test::load_pem(k.pem);
  if (pk) k.blob = vardek::test::ssh_blob(pk.get());
  return k;
}

// Makes a token set for a suite; failures are reported by the tests.
std::unique_ptr<SoftHsm> make_tokens(const std::vector<std::string> &args, std::string &error) {
  auto t = SoftHsm::make(args);
  if (!t)
    error = SoftHsm::last_error();
  else if (t->module.empty())
    error = "mktoken.sh printed no MODULE line";
  return t;
}

// A suite whose tokens are made once, from the mktoken.sh arguments that
// Suite::token_args() gives, and whose tests reach them through
// SOFTHSM2_CONF. A failure to make them is reported by every test.
template <class Suite>
class TokenSuite : public ::testing::Test {
 public:
  static void SetUpTestSuite() { tok_ = make_tokens(Suite::token_args(), error_); }
  static void TearDownTestSuite() { tok_.reset(); }

 protected:
  void SetUp() override {
    ASSERT_TRUE(tok_) << error_;
    setenv("SOFTHSM2_CONF", tok_->conf.c_str(), 1);
  }
  static inline std::unique_ptr<SoftHsm> tok_;
  static inline std::string error_;
};

// The slot index vardek gave the token `label`, from its debug1 slot line;
// -1 when the log has none.
int slot_of(const std::string &log, const std::string &label) {
  size_t p = log.find(": label <" + label + "> ");
  if (p == std::string::npos) return -1;
  size_t s = log.rfind(" slot ", p);
  return s == std::string::npos ? -1 : std::atoi(log.c_str() + s + 6);
}

// --- every key kind on one token --------------------------------------------

class KeyKinds : public TokenSuite<KeyKinds> {
 public:
  static std::vector<std::string> token_args() {
    // The two large RSA keys are fixed test keys: generating them takes
    // seconds, and a loaded machine makes that tens of seconds.
    const std::string data = std::string(VARDEK_TEST_DIR) + "/data/";
    return {"--token",   "kinds",
            "--key",     "rsa2048:rsa-2048:01",
            "--key-pem", data + "rsa3072.pem:rsa-3072:02",
            "--key-pem", data + "rsa4096.pem:rsa-4096:03",
            "--key",     "ec256:ec-p256:04",
            "--key",     "ec384:ec-p384:05",
            "--key",     "ec521:ec-p521:06"};
  }
};

TEST_F(KeyKinds, EveryKindIsListedAndSignsVerifiably) {
  struct Kind {
    const char *label;
    size_t rsa_bytes;     // modulus length; 0 for ECDSA
    const char *ec_hash;  // the curve's hash as verify_sig.py names it
    const EVP_MD *(*md)();
  } kinds[] = {{"rsa-2048", 256, nullptr, nullptr},  {"rsa-3072", 384, nullptr, nullptr},
               {"rsa-4096", 512, nullptr, nullptr},  {"ec-p256", 0, "sha256", EVP_sha256},
               {"ec-p384", 0, "sha384", EVP_sha384}, {"ec-p521", 0, "sha512", EVP_sha512}};
  std::vector<TokenKey> keys;
  std::vector<Pair> want;
  for (const auto &k : kinds) {
    keys.push_back(key_of(*tok_, k.label));
    ASSERT_FALSE(keys.back().blob.empty()) << k.label;
    want.emplace_back(keys.back().blob, k.label);
  }

  Vardek v;
  ASSERT_TRUE(v.start({"-vv"}));
  auto got = add(v, tok_->module);
  ASSERT_TRUE(got);
  // The token decides the order; the answer holds each key once, with the
  // blob its public key has and the object's label.
  EXPECT_EQ(sorted(*got), sorted(want));
  // note_key reported each with its type name and fingerprint.
  std::string log = v.log();
  for (size_t i = 0; i < keys.size(); i++)
    EXPECT_EQ(count(log, "debug2: pkcs11_fetch_keys: provider pkcs11:?module-path=" + tok_->module +
                             " slot 0: " + (kinds[i].rsa_bytes ? "RSA " : "ECDSA ") +
                             fingerprint(keys[i].blob) + "\r\n"),
              1u)
        << kinds[i].label << "\n"
        << log;

  Checker check;
  const std::string msg = "a session identifier and the rest of a request to sign";
  for (size_t i = 0; i < keys.size(); i++) {
    const Kind &k = kinds[i];
    if (k.rsa_bytes != 0) {
      for (bool sha512 : {false, true}) {
        Bytes sig =
            sign(v, keys[i].blob, digest_info(sha512, msg), sha512 ? kRsaSha512 : kRsaSha256);
        // A raw PKCS #1 block as long as the modulus, whatever its leading byte.
        EXPECT_EQ(sig.size(), k.rsa_bytes) << k.label;
        check.add(sha512 ? "rsa-sha512" : "rsa-sha256", keys[i].pem, msg, sig,
                  std::string(k.label) + (sha512 ? " sha512" : " sha256"));
      }
    } else {
      Bytes sig = sign(v, keys[i].blob, digest(k.md(), msg));
      // DER SEQUENCE of two INTEGERs.
      ASSERT_GE(sig.size(), 8u) << k.label;
      EXPECT_EQ(sig[0], 0x30) << k.label;
      check.add(std::string("ecdsa-") + k.ec_hash, keys[i].pem, msg, sig, k.label);
    }
  }
  std::vector<std::string> want_lines = check.all_ok();

  // The checker can say no: a SHA-512 signature is not a SHA-256 one, and a
  // signature does not cover another message.
  Bytes s512 = sign(v, keys[0].blob, digest_info(true, msg));
  check.add("rsa-sha256", keys[0].pem, msg, s512, "sha512 as sha256");
  want_lines.push_back("sha512 as sha256: bad: signature does not verify");
  Bytes sec = sign(v, keys[3].blob, digest(EVP_sha256(), msg));
  check.add("ecdsa-sha256", keys[3].pem, "another message", sec, "other message");
  want_lines.push_back("other message: bad: signature does not verify");

  EXPECT_EQ(check.run(), want_lines);
  EXPECT_EQ(hex_reply(v, agent::remove_request(tok_->module)), "00 00 00 01 06");
  EXPECT_EQ(v.finish(), 0);
}

// --- keys generated on the token ---------------------------------------------

// No key file exists for these: the token made the pair and wrote the public
// values itself. The checker decodes the blobs vardek answered, insists they
// are canonical, and verifies the signatures against them.
class GeneratedOnToken : public TokenSuite<GeneratedOnToken> {
 public:
  static std::vector<std::string> token_args() {
    return {"--token",         "generated", "--genkey",
            "ec384:gen-ec:01", "--genkey",  "rsa2048:gen-rsa:02"};
  }
};

TEST_F(GeneratedOnToken, KeysListAndSign) {
  Vardek v;
  ASSERT_TRUE(v.start());
  auto got = add(v, tok_->module);
  ASSERT_TRUE(got);
  ASSERT_EQ(got->size(), 2u);
  std::map<std::string, Bytes> by_label;
  for (const auto &[blob, label] : *got) by_label[label] = blob;
  ASSERT_EQ(by_label.size(), 2u);
  ASSERT_TRUE(by_label.count("gen-ec") && by_label.count("gen-rsa"));

  const std::string msg = "made on the token";
  Checker check;
  check.add_blob("ecdsa-sha384", by_label["gen-ec"], msg,
                 sign(v, by_label["gen-ec"], digest(EVP_sha384(), msg)), "gen-ec");
  check.add_blob("rsa-sha512", by_label["gen-rsa"], msg,
                 sign(v, by_label["gen-rsa"], digest_info(true, msg), kRsaSha512), "gen-rsa");
  // The blobs are what they claim: the EC key is not an RSA key.
  check.add_blob("rsa-sha512", by_label["gen-ec"], msg, Bytes(256, 1), "swapped");
  std::vector<std::string> want = check.all_ok();
  want.back() = "swapped: bad: not an RSA key";
  EXPECT_EQ(check.run(), want);
  EXPECT_EQ(v.finish(), 0);
}

// --- certificates ------------------------------------------------------------

class Certificates : public TokenSuite<Certificates> {
 public:
  static std::vector<std::string> token_args() {
    // "paired": public-key object and certificate of one key.
    // "cert-only": private key and certificate, no public-key object.
    // "foreign": a certificate whose key is not on the token.
    return {"--token",        "certs",
            "--key",          "ec256:paired:01",
            "--cert",         "paired",
            "--privkey",      "rsa2048:cert-only:02",
            "--cert",         "cert-only:/CN=cert only/O=vardek tests",
            "--foreign-cert", "ec384:foreign:03"};
  }
};

TEST_F(Certificates, SubjectsLabelCertificateKeysAndOnlyTokenKeysSign) {
  TokenKey paired = key_of(*tok_, "paired"), cert_only = key_of(*tok_, "cert-only"),
           foreign = key_of(*tok_, "foreign");
  ASSERT_FALSE(paired.blob.empty() || cert_only.blob.empty() || foreign.blob.empty());

  Vardek v;
  ASSERT_TRUE(v.start({"-vv"}));
  auto got = add(v, tok_->module);
  ASSERT_TRUE(got);
  ASSERT_EQ(got->size(), 3u);
  // Public-key objects come first; the paired key's certificate adds nothing
  // and does not change its label. Certificate keys carry their subject.
  EXPECT_EQ((*got)[0], Pair(paired.blob, "paired"));
  EXPECT_EQ(
      sorted({(*got)[1], (*got)[2]}),
      sorted({{cert_only.blob, "/CN=cert only/O=vardek tests"}, {foreign.blob, "/CN=foreign"}}));
  std::string log = v.log();
  EXPECT_EQ(count(log, "debug2: pkcs11_fetch_certs: key already included\r\n"), 1u) << log;

  // The certificate-only key signs with its private key on the token; the
  // checker takes the public key out of the certificate itself.
  const std::string msg = "signed with a key known by its certificate";
  Checker check;
  check.add("rsa-sha256", tok_->path("cert-only.crt.pem"), msg,
            sign(v, cert_only.blob, digest_info(false, msg), kRsaSha256), "cert-only");
  check.add("ecdsa-sha256", tok_->path("paired.crt.pem"), msg,
            sign(v, paired.blob, digest(EVP_sha256(), msg)), "paired");
  EXPECT_EQ(check.run(), check.all_ok());

  // The foreign certificate's key is listed, but no private key matches its
  // CKA_ID: the signature fails after the two searches (class, id and
  // CKA_SIGN; then class and id).
  size_t before = v.log().size();
  EXPECT_EQ(hex_reply(v, agent::sign_request(foreign.blob, digest(EVP_sha384(), msg))),
            "00 00 00 01 1e");
  log = v.log().substr(before);
  size_t at = 0;
  for (const char *line :
       {"debug1: C_FindObjects failed (nfound 0 nattr 3): 0\r\n",
        "debug1: C_FindObjects failed (nfound 0 nattr 2): 0\r\n", "cannot find private key\r\n",
        "pkcs11_get_key failed\r\n", "process_sign: ECDSA_sign returned 0\r\n"}) {
    size_t p = log.find(line, at);
    EXPECT_NE(p, std::string::npos) << line << " in order in\n" << log;
    if (p != std::string::npos) at = p;
  }
  EXPECT_EQ(v.finish(), 0);
}

// --- a token that hides its public keys until login -------------------------

class LoginToken : public TokenSuite<LoginToken> {
 public:
  static std::vector<std::string> token_args() {
    return {"--token", "locked", "--private-pub", "--key", "ec256:hidden:01"};
  }

 protected:
  void SetUp() override {
    TokenSuite::SetUp();
    if (HasFatalFailure()) return;
    key_ = key_of(*tok_, "hidden");
    ASSERT_FALSE(key_.blob.empty());
  }
  TokenKey key_;
};

TEST_F(LoginToken, RightPinListsAndSigns) {
  Vardek v;
  ASSERT_TRUE(v.start({"-v"}));
  auto got = add(v, tok_->module, kPin);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, std::vector<Pair>{Pair(key_.blob, "hidden")});
  const std::string msg = "behind a login";
  Checker check;
  check.add("ecdsa-sha256", key_.pem, msg, sign(v, key_.blob, digest(EVP_sha256(), msg)), "hidden");
  EXPECT_EQ(check.run(), check.all_ok());
  std::string log = v.log();
  EXPECT_FALSE(has(log, "C_Login failed")) << log;
  EXPECT_FALSE(has(log, "pin required")) << log;
  EXPECT_EQ(v.finish(), 0);
}

TEST_F(LoginToken, WrongAndEmptyPinsAnswerReason0) {
  Vardek v;
  ASSERT_TRUE(v.start({"-v"}));
  // A refused PIN is "no keys" to the agent, not an error of its own.
  EXPECT_EQ(hex_reply(v, agent::add_request(tok_->module, "4321")), "00 00 00 05 05 00 00 00 00");
  std::string log = v.log();
  EXPECT_EQ(count(log, "C_Login failed: 160\r\n"), 1u) << log;  // CKR_PIN_INCORRECT
  EXPECT_TRUE(has(log, "provider pkcs11:?module-path=" + tok_->module + " returned no keys\r\n"))
      << log;
  // Nothing stayed registered, so the module was unloaded again.
  EXPECT_EQ(hex_reply(v, agent::remove_request(tok_->module)), "00 00 00 01 05");

  // An empty PIN never reaches the token.
  EXPECT_EQ(hex_reply(v, agent::add_request(tok_->module, "")), "00 00 00 05 05 00 00 00 00");
  log = v.log();
  EXPECT_EQ(count(log, "pin required\r\n"), 1u) << log;
  EXPECT_EQ(count(log, "C_Login failed"), 1u) << log;
  EXPECT_EQ(hex_reply(v, agent::sign_request(key_.blob, digest(EVP_sha256(), "x"))),
            "00 00 00 01 1e");

  // Only the request carries the PIN: a pin-value in the URI is not used.
  const std::string with_pin = "pkcs11:?module-path=" + tok_->module + "&pin-value=" + kPin;
  EXPECT_EQ(hex_reply(v, agent::add_request(with_pin, "")), "00 00 00 05 05 00 00 00 00");
  EXPECT_EQ(count(v.log(), "pin required\r\n"), 2u) << v.log();

  // The refusals left no state behind: the right PIN still works.
  auto got = add(v, tok_->module, kPin);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, std::vector<Pair>{Pair(key_.blob, "hidden")});
  EXPECT_EQ(v.finish(), 0);
}

TEST_F(LoginToken, LaterProvidersOfTheModuleReuseTheLoggedInSession) {
  Vardek v;
  ASSERT_TRUE(v.start({"-v"}));
  ASSERT_TRUE(add(v, tok_->module, kPin));
  // A second provider of the same module, under another identity and
  // without a PIN, finds the slot's session open and logged in.
  const std::string second = "pkcs11:object=hidden?module-path=" + tok_->module;
  auto got = add(v, second, "");
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, std::vector<Pair>{Pair(key_.blob, "hidden")});
  std::string log = v.log();
  EXPECT_FALSE(has(log, "pin required")) << log;
  // The module was initialised once.
  EXPECT_EQ(count(log, "provider " + tok_->module + ": manufacturerID <SoftHSM> "), 1u) << log;

  // The first provider goes; the module and its session stay for the second.
  EXPECT_EQ(hex_reply(v, agent::remove_request(tok_->module)), "00 00 00 01 06");
  const std::string msg = "still signing";
  Checker check;
  check.add("ecdsa-sha256", key_.pem, msg, sign(v, key_.blob, digest(EVP_sha256(), msg)), "second");
  EXPECT_EQ(check.run(), check.all_ok());

  // With the last provider the module is finalised: its login is gone, and
  // an add without a PIN now finds nothing.
  EXPECT_EQ(hex_reply(v, agent::remove_request(second)), "00 00 00 01 06");
  EXPECT_EQ(hex_reply(v, agent::add_request(second, "")), "00 00 00 05 05 00 00 00 00");
  EXPECT_EQ(count(v.log(), "pin required\r\n"), 1u) << v.log();
  EXPECT_EQ(v.finish(), 0);
}

// --- two tokens in two slots ---------------------------------------------------

class TwoSlots : public TokenSuite<TwoSlots> {
 public:
  static std::vector<std::string> token_args() {
    // Key IDs repeat across the tokens on purpose: 01 is on both.
    return {"--token",          "alpha",   "--key", "ec256:a-one:01", "--key",
            "rsa2048:a-two:02", "--token", "beta",  "--key",          "ec384:b-one:01"};
  }

 protected:
  void SetUp() override {
    TokenSuite::SetUp();
    if (HasFatalFailure()) return;
    a1_ = key_of(*tok_, "a-one");
    a2_ = key_of(*tok_, "a-two");
    b1_ = key_of(*tok_, "b-one");
    ASSERT_FALSE(a1_.blob.empty() || a2_.blob.empty() || b1_.blob.empty());
    M_ = tok_->module;
  }
  std::string uri(const std::string &path_part) const {
    return "pkcs11:" + path_part + "?module-path=" + M_;
  }
  // Starts a vardek and learns the slot order SoftHSM2 gives the tokens
  // (it follows the token folder's directory order, which is not fixed).
  void start(Vardek &v, const char *verbosity = "-vv") {
    ASSERT_TRUE(v.start({verbosity}));
    auto all = add(v, M_);
    ASSERT_TRUE(all);
    std::string log = v.log();
    alpha_slot_ = slot_of(log, "alpha");
    beta_slot_ = slot_of(log, "beta");
    ASSERT_TRUE(alpha_slot_ >= 0 && beta_slot_ >= 0 && alpha_slot_ != beta_slot_) << log;
    alpha_first_ = alpha_slot_ < beta_slot_;
    // Every key of both tokens, each slot's keys together in slot order.
    ASSERT_EQ(all->size(), 3u);
    std::vector<Pair> alpha = alpha_keys(), beta{{b1_.blob, "b-one"}};
    std::vector<Pair> first(all->begin(), all->begin() + (alpha_first_ ? 2 : 1));
    std::vector<Pair> second(all->begin() + (alpha_first_ ? 2 : 1), all->end());
    EXPECT_EQ(sorted(first), alpha_first_ ? alpha : beta);
    EXPECT_EQ(sorted(second), alpha_first_ ? beta : alpha);
    ASSERT_EQ(hex_reply(v, agent::remove_request(M_)), "00 00 00 01 06");
  }
  TokenKey a1_, a2_, b1_;
  std::string M_;
  int alpha_slot_ = -1, beta_slot_ = -1;
  bool alpha_first_ = false;
  // alpha's keys, sorted: SoftHSM2 returns a token's objects in an order
  // that changes each time the module is loaded.
  std::vector<Pair> alpha_keys() const {
    return sorted({{a1_.blob, "a-one"}, {a2_.blob, "a-two"}});
  }
};

TEST_F(TwoSlots, BothTokensAreListedAndSign) {
  Vardek v;
  ASSERT_NO_FATAL_FAILURE(start(v));
  auto all = add(v, M_);
  ASSERT_TRUE(all);
  ASSERT_EQ(all->size(), 3u);
  const std::string msg = "two slots";
  Checker check;
  check.add("ecdsa-sha256", a1_.pem, msg, sign(v, a1_.blob, digest(EVP_sha256(), msg)), "a-one");
  check.add("rsa-sha512", a2_.pem, msg, sign(v, a2_.blob, digest_info(true, msg), kRsaSha512),
            "a-two");
  check.add("ecdsa-sha384", b1_.pem, msg, sign(v, b1_.blob, digest(EVP_sha384(), msg)), "b-one");
  EXPECT_EQ(check.run(), check.all_ok());
  EXPECT_EQ(v.finish(), 0);
}

TEST_F(TwoSlots, TokenAndManufacturerFilters) {
  Vardek v;
  ASSERT_NO_FATAL_FAILURE(start(v));
  std::string before = v.log();

  auto beta = add(v, uri("token=beta"));
  ASSERT_TRUE(beta);
  EXPECT_EQ(*beta, std::vector<Pair>{Pair(b1_.blob, "b-one")});
  std::string log = v.log().substr(before.size());
  EXPECT_TRUE(has(log,
                  "debug2: pkcs11_register_provider_by_uri: ignoring token not matching label "
                  "(alpha) specified by PKCS#11 URI in slot " +
                      std::to_string(alpha_slot_) + "\r\n"))
      << log;

  auto alpha = add(v, uri("token=alpha;manufacturer=SoftHSM%20project"));
  ASSERT_TRUE(alpha);
  EXPECT_EQ(sorted(*alpha), alpha_keys());

  auto both = add(v, uri("manufacturer=SoftHSM%20project"));
  ASSERT_TRUE(both);
  EXPECT_EQ(both->size(), 3u);

  before = v.log();
  EXPECT_EQ(hex_reply(v, agent::add_request(uri("token=gamma"), kPin)),
            "00 00 00 05 05 00 00 00 00");
  EXPECT_EQ(hex_reply(v, agent::add_request(uri("manufacturer=Nobody"), kPin)),
            "00 00 00 05 05 00 00 00 00");
  log = v.log().substr(before.size());
  for (int slot : {alpha_slot_, beta_slot_})
    EXPECT_TRUE(has(log,
                    "ignoring token not matching requrested manufacturerID (SoftHSM project) "
                    "specified by PKCS#11 URI in slot " +
                        std::to_string(slot) + "\r\n"))
        << log;
  // A filtered-out slot is never opened: no slot line for either add.
  EXPECT_FALSE(has(log, ": label <")) << log;
  EXPECT_EQ(v.finish(), 0);
}

TEST_F(TwoSlots, IdAndObjectFilters) {
  Vardek v;
  ASSERT_NO_FATAL_FAILURE(start(v, "-vvv"));

  // CKA_ID 02 exists on alpha only; 01 on both tokens.
  auto two = add(v, uri("id=%02"));
  ASSERT_TRUE(two);
  EXPECT_EQ(*two, std::vector<Pair>{Pair(a2_.blob, "a-two")});
  auto ones = add(v, uri("id=%01"));
  ASSERT_TRUE(ones);
  std::vector<Pair> want_ones{{a1_.blob, "a-one"}, {b1_.blob, "b-one"}};
  if (!alpha_first_) std::swap(want_ones[0], want_ones[1]);
  EXPECT_EQ(*ones, want_ones);

  auto named = add(v, uri("token=beta;object=b-one"));
  ASSERT_TRUE(named);
  EXPECT_EQ(*named, std::vector<Pair>{Pair(b1_.blob, "b-one")});
  // Over both tokens the retry without the label matters: it runs for a
  // slot while no earlier slot has yielded a key. When beta comes first it
  // yields beta's key that way, before alpha's named key.
  auto a2 = add(v, uri("object=a-two"));
  ASSERT_TRUE(a2);
  if (alpha_first_)
    EXPECT_EQ(*a2, std::vector<Pair>{Pair(a2_.blob, "a-two")});
  else
    EXPECT_EQ(*a2, (std::vector<Pair>{{b1_.blob, "b-one"}, {a2_.blob, "a-two"}}));
  // Both at once, the same way.
  auto both_filters = add(v, uri("id=%01;object=a-one"));
  ASSERT_TRUE(both_filters);
  if (alpha_first_)
    EXPECT_EQ(*both_filters, std::vector<Pair>{Pair(a1_.blob, "a-one")});
  else
    EXPECT_EQ(*both_filters, (std::vector<Pair>{{b1_.blob, "b-one"}, {a1_.blob, "a-one"}}));

  // A label nobody carries: the first slot is searched again without it
  // and yields all its keys; the second slot then gets no retry.
  std::string before = v.log();
  auto retried = add(v, uri("object=nobody"));
  ASSERT_TRUE(retried);
  EXPECT_EQ(sorted(*retried),
            alpha_first_ ? alpha_keys() : std::vector<Pair>{Pair(b1_.blob, "b-one")});
  std::string log = v.log().substr(before.size());
  EXPECT_EQ(count(log,
                  "debug3: pkcs11_register_provider_by_uri: No keys found. Retrying without "
                  "label (nobody) \r\n"),
            1u)
      << log;

  // The retry runs per provider: restricted to beta it finds beta's key.
  auto beta_retried = add(v, uri("token=beta;object=nobody"));
  ASSERT_TRUE(beta_retried);
  EXPECT_EQ(*beta_retried, std::vector<Pair>{Pair(b1_.blob, "b-one")});

  // The retry drops the label but keeps the id.
  auto id_retried = add(v, uri("id=%02;object=nobody"));
  ASSERT_TRUE(id_retried);
  EXPECT_EQ(*id_retried, std::vector<Pair>{Pair(a2_.blob, "a-two")});
  EXPECT_EQ(v.finish(), 0);
}

TEST_F(TwoSlots, OneModuleServesAProviderPerToken) {
  Vardek v;
  ASSERT_NO_FATAL_FAILURE(start(v, "-v"));
  const std::string pa = uri("token=alpha"), pb = uri("token=beta");
  std::string before = v.log();
  auto a = add(v, pa);
  auto b = add(v, pb);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(sorted(*a), alpha_keys());
  EXPECT_EQ(*b, std::vector<Pair>{Pair(b1_.blob, "b-one")});
  // The second provider shares the module loaded for the first.
  EXPECT_EQ(count(v.log().substr(before.size()), "provider " + M_ + ": manufacturerID <"), 1u)
      << v.log();

  const std::string msg = "shared module";
  Checker check;
  check.add("ecdsa-sha256", a1_.pem, msg, sign(v, a1_.blob, digest(EVP_sha256(), msg)), "a-one");
  check.add("ecdsa-sha384", b1_.pem, msg, sign(v, b1_.blob, digest(EVP_sha384(), msg)), "b-one");

  // Removing alpha's provider drops its keys; beta's keep signing on the
  // module that stays loaded.
  EXPECT_EQ(hex_reply(v, agent::remove_request(pa)), "00 00 00 01 06");
  EXPECT_EQ(hex_reply(v, agent::sign_request(a1_.blob, digest(EVP_sha256(), msg))),
            "00 00 00 01 1e");
  check.add("ecdsa-sha384", b1_.pem, msg, sign(v, b1_.blob, digest(EVP_sha384(), msg)),
            "b-one after");
  EXPECT_EQ(check.run(), check.all_ok());
  EXPECT_EQ(hex_reply(v, agent::remove_request(pa)), "00 00 00 01 05");
  EXPECT_EQ(hex_reply(v, agent::remove_request(pb)), "00 00 00 01 06");
  EXPECT_EQ(v.finish(), 0);
}

// --- the p11-kit proxy ----------------------------------------------------------

// The proxy loads the modules of p11-kit's configuration; SoftHSM2 among them
// follows SOFTHSM2_CONF to the throwaway token. A user configuration in a
// temporary home names SoftHSM2. p11-kit skips user configuration in a
// program run by root; there the system's module configuration must name it
// (the SoftHSM2 packages install one). The URI names no module, so vardek
// loads its default one.
class Proxy : public TokenSuite<Proxy> {
 public:
  static std::vector<std::string> token_args() {
    return {
        "--token", "proxied", "--key", "ec256:via-proxy:01", "--key", "rsa2048:rsa-via-proxy:02"};
  }

 protected:
  void SetUp() override {
    if (access(VARDEK_DEFAULT_MODULE_FOR_TESTS, R_OK) != 0)
      GTEST_SKIP() << "the default module " << VARDEK_DEFAULT_MODULE_FOR_TESTS
                   << " is not installed";
    ASSERT_TRUE(tok_) << error_;
    if (geteuid() == 0 && !system_config_names(tok_->module))
      GTEST_SKIP() << "running as root, p11-kit reads no user configuration, and no module "
                      "configuration in " VARDEK_P11_MODULE_CONFIGS " names SoftHSM2";
    ASSERT_FALSE(home_.path.empty());
    std::string modules = home_.path + "/.config/pkcs11/modules";
    std::filesystem::create_directories(modules);
    std::ofstream(modules + "/softhsm2.module") << "module: " << tok_->module << "\n";
  }

  // Starts vardek with the temporary home; the test's own environment is
  // restored once the child has it.
  void start(Vardek &v) {
    const char *names[] = {"HOME", "XDG_CONFIG_HOME"};
    std::map<std::string, std::optional<std::string>> saved;
    for (const char *n : names) {
      const char *old = getenv(n);
      saved[n] = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
    }
    setenv("HOME", home_.path.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home_.path + "/.config").c_str(), 1);
    setenv("SOFTHSM2_CONF", tok_->conf.c_str(), 1);
    bool ok = v.start({"-v"});
    for (const auto &[n, old] : saved) {
      if (old)
        setenv(n.c_str(), old->c_str(), 1);
      else
        unsetenv(n.c_str());
    }
    ASSERT_TRUE(ok);
  }

  // True when a module configuration of the system loads `module` (by its
  // path or its file name, which p11-kit looks up in its module folder).
  static bool system_config_names(const std::string &module) {
    std::string base = std::filesystem::path(module).filename();
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(VARDEK_P11_MODULE_CONFIGS, ec)) {
      if (e.path().extension() != ".module") continue;
      std::ifstream in(e.path());
      for (std::string line; std::getline(in, line);) {
        if (line.rfind("module:", 0) != 0) continue;
        std::string v = line.substr(7);
        v.erase(0, v.find_first_not_of(" \t"));
        v.erase(v.find_last_not_of(" \t\r") + 1);
        if (v == module || v == base) return true;
      }
    }
    return false;
  }

  TempDir home_;
};

TEST_F(Proxy, UriWithoutModulePathReachesTheTokenThroughTheProxy) {
  TokenKey ec = key_of(*tok_, "via-proxy"), rsa = key_of(*tok_, "rsa-via-proxy");
  ASSERT_FALSE(ec.blob.empty() || rsa.blob.empty());
  Vardek v;
  ASSERT_NO_FATAL_FAILURE(start(v));
  // The proxy may offer other modules' tokens as well; the token attribute
  // picks ours.
  const std::string name = "pkcs11:token=proxied";
  auto got = add(v, name);
  ASSERT_TRUE(got);
  EXPECT_EQ(sorted(*got), sorted({{ec.blob, "via-proxy"}, {rsa.blob, "rsa-via-proxy"}}));
  std::string log = v.log();
  EXPECT_TRUE(
      has(log, std::string("provider ") + VARDEK_DEFAULT_MODULE_FOR_TESTS + ": manufacturerID <"))
      << log;
  EXPECT_TRUE(has(log, ": label <proxied> manufacturerID <SoftHSM project> model <SoftHSM v2>"))
      << log;

  const std::string msg = "through the proxy";
  Checker check;
  check.add("ecdsa-sha256", ec.pem, msg, sign(v, ec.blob, digest(EVP_sha256(), msg)), "ec");
  check.add("rsa-sha256", rsa.pem, msg, sign(v, rsa.blob, digest_info(false, msg), kRsaSha256),
            "rsa");
  EXPECT_EQ(check.run(), check.all_ok());

  EXPECT_EQ(hex_reply(v, agent::remove_request(name)), "00 00 00 01 06");
  EXPECT_EQ(hex_reply(v, agent::sign_request(ec.blob, digest(EVP_sha256(), msg))),
            "00 00 00 01 1e");
  EXPECT_EQ(v.finish(), 0);
}

}  // namespace
