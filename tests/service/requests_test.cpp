// Add, remove and sign requests end to end: a vardek child loads real
// SoftHSM2 tokens (and the mock module where a token's own order or a
// module without slots is needed), answers byte for byte, and its
// signatures are checked with libcrypto against the token's public keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "common/mock_module.h"
#include "common/softhsm.h"
#include "service/e2e_keys.h"
#include "service/spawn.h"

namespace {

using vardek::agent::Bytes;
using vardek::agent::Identity;
using vardek::test::from_hex;
using vardek::test::load_pem;
using vardek::test::SoftHsm;
using vardek::test::ssh_blob;
using vardek::test::to_hex;
using vardek::test::Vardek;

constexpr int kWaitMs = 30000;
constexpr const char *kPin = "1234";

// The whole frame of an identities answer listing `ids` in order.
Bytes identities_frame(const std::vector<std::pair<Bytes, std::string>> &ids) {
  Bytes body{12};
  vardek::agent::put_u32(body, static_cast<uint32_t>(ids.size()));
  for (const auto &[blob, label] : ids) {
    vardek::agent::put_string(body, blob);
    vardek::agent::put_string(body, label);
  }
  return vardek::agent::frame(body);
}

std::string hex_reply(Vardek &v, const Bytes &request) {
  auto r = v.child.call(request, kWaitMs);
  return r ? to_hex(vardek::test::framed(*r)) : "no reply";
}

// Sends a sign request and returns the signature, empty when the reply is
// not a sign response; `head_hex` receives the frame's first bytes.
Bytes sign(Vardek &v, const Bytes &blob, const Bytes &data, std::string *head_hex = nullptr) {
  auto r = v.child.call(vardek::agent::sign_request(blob, data), kWaitMs);
  if (!r) return {};
  Bytes whole = vardek::test::framed(*r);
  if (head_hex != nullptr) *head_hex = to_hex(whole.data(), std::min<size_t>(whole.size(), 9));
  auto sig = vardek::agent::parse_signature(*r);
  return sig ? *sig : Bytes{};
}

// The first nine bytes of a sign response frame carrying `n` signature bytes.
std::string sign_head(size_t n) {
  Bytes b;
  vardek::agent::put_u32(b, static_cast<uint32_t>(n + 5));
  b.push_back(14);
  vardek::agent::put_u32(b, static_cast<uint32_t>(n));
  return to_hex(b);
}

size_t count(const std::string &hay, const std::string &needle) {
  size_t n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) n++;
  return n;
}

// --- SoftHSM2 tokens --------------------------------------------------------

class SoftHsmRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    tok_ = SoftHsm::make({"--token", "t1", "--key", "rsa2048:k1:01", "--key", "ec256:k2:02"});
    ASSERT_TRUE(tok_) << SoftHsm::last_error();
    ASSERT_FALSE(tok_->module.empty());
    rsa_ = load_pem(tok_->path("k1.pub.pem"));
    ec_ = load_pem(tok_->path("k2.pub.pem"));
    ASSERT_TRUE(rsa_ && ec_);
    rsa_blob_ = ssh_blob(rsa_.get());
    ec_blob_ = ssh_blob(ec_.get());
    ASSERT_FALSE(rsa_blob_.empty());
    ASSERT_FALSE(ec_blob_.empty());
  }

  // Adds the token's module under `name` and checks the answer lists the
  // two keys; returns them in answer order.
  std::vector<Identity> add_both(Vardek &v, const std::string &name) {
    auto r = v.child.call(vardek::agent::add_request(name, kPin), kWaitMs);
    EXPECT_TRUE(r);
    if (!r) return {};
    auto ids = vardek::agent::parse_identities(*r);
    EXPECT_TRUE(ids) << "type " << int(r->type);
    if (!ids) return {};
    EXPECT_EQ(ids->size(), 2u);
    std::vector<std::pair<Bytes, std::string>> got, want{{rsa_blob_, "k1"}, {ec_blob_, "k2"}};
    for (const auto &id : *ids) got.emplace_back(id.blob, id.label);
    // The answer is exactly these pairs, in the order the token gave them.
    EXPECT_EQ(to_hex(vardek::test::framed(*r)), to_hex(identities_frame(got)));
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
    return *ids;
  }

  std::unique_ptr<SoftHsm> tok_;
  vardek::test::Pkey rsa_, ec_;
  Bytes rsa_blob_, ec_blob_;
};

TEST_F(SoftHsmRequests, AddSignRemove) {
  Vardek v;
  ASSERT_TRUE(v.start({"-v"}));
  add_both(v, tok_->module);

  Bytes di = vardek::test::sha256_digest_info("data to sign");
  std::string head;
  Bytes sig = sign(v, rsa_blob_, di, &head);
  EXPECT_EQ(head, "00 00 01 05 0e 00 00 01 00");  // 2048-bit signature
  EXPECT_EQ(head, sign_head(256));
  EXPECT_TRUE(vardek::test::verify(rsa_.get(), di, sig));
  // The signature covers exactly the bytes sent: other data does not verify.
  EXPECT_FALSE(vardek::test::verify(rsa_.get(), vardek::test::sha256_digest_info("other"), sig));

  Bytes digest = vardek::test::sha256("data to sign");
  Bytes ecsig = sign(v, ec_blob_, digest, &head);
  ASSERT_FALSE(ecsig.empty()) << head;
  EXPECT_EQ(head, sign_head(ecsig.size()));
  EXPECT_TRUE(vardek::test::verify(ec_.get(), digest, ecsig));

  EXPECT_EQ(hex_reply(v, vardek::agent::remove_request(tok_->module)), "00 00 00 01 06");
  EXPECT_EQ(hex_reply(v, vardek::agent::sign_request(rsa_blob_, di)), "00 00 00 01 1e");
  EXPECT_EQ(hex_reply(v, vardek::agent::remove_request(tok_->module)), "00 00 00 01 05");
  EXPECT_EQ(v.finish(), 0);
}

TEST_F(SoftHsmRequests, SignWithAKeyNotLoadedFailsAfterCheckingEachEntry) {
  Vardek v;
  ASSERT_TRUE(v.start({"-v"}));
  add_both(v, tok_->module);
  auto other = SoftHsm::make({"--token", "t2", "--key", "ec256:stranger:09"});
  ASSERT_TRUE(other) << SoftHsm::last_error();
  Bytes stranger = ssh_blob(load_pem(other->path("stranger.pub.pem")).get());
  size_t before = count(v.log(), "debug1: check ");
  EXPECT_EQ(hex_reply(v, vardek::agent::sign_request(stranger, vardek::test::sha256("x"))),
            "00 00 00 01 1e");
  std::string log = v.log();
  EXPECT_EQ(count(log, "debug1: check ") - before, 2u) << log;
  EXPECT_NE(log.find("debug1: check RSA " + tok_->module + " k1\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("debug1: check ECDSA " + tok_->module + " k2\r\n"), std::string::npos) << log;
  EXPECT_EQ(v.finish(), 0);
}

TEST_F(SoftHsmRequests, SameProviderAddedTwice) {
  Vardek v;
  ASSERT_TRUE(v.start({"-v"}));
  auto first = add_both(v, tok_->module);
  auto second = add_both(v, tok_->module);
  ASSERT_EQ(first.size(), 2u);
  for (size_t i = 0; i < first.size() && i < second.size(); i++)
    EXPECT_EQ(first[i].blob, second[i].blob);

  // Four entries; the first equal one, from the first add, signs.
  size_t ec_index = first[0].blob == ec_blob_ ? 0 : 1;
  size_t before = count(v.log(), "debug1: check ");
  Bytes digest = vardek::test::sha256("twice");
  EXPECT_TRUE(vardek::test::verify(ec_.get(), digest, sign(v, ec_blob_, digest)));
  EXPECT_EQ(count(v.log(), "debug1: check ") - before, ec_index + 1) << v.log();

  // One remove drops all four entries but only the first registration.
  EXPECT_EQ(hex_reply(v, vardek::agent::remove_request(tok_->module)), "00 00 00 01 06");
  before = count(v.log(), "debug1: check ");
  EXPECT_EQ(hex_reply(v, vardek::agent::sign_request(ec_blob_, digest)), "00 00 00 01 1e");
  EXPECT_EQ(count(v.log(), "debug1: check "), before);
  EXPECT_EQ(hex_reply(v, vardek::agent::remove_request(tok_->module)), "00 00 00 01 06");
  EXPECT_EQ(hex_reply(v, vardek::agent::remove_request(tok_->module)), "00 00 00 01 05");

  // The module was unloaded with the last provider; adding loads it again.
  add_both(v, tok_->module);
  EXPECT_TRUE(vardek::test::verify(ec_.get(), digest, sign(v, ec_blob_, digest)));
  EXPECT_EQ(v.finish(), 0);
}

TEST_F(SoftHsmRequests, RemovedUnderAnotherNameWithTheSameIdentity) {
  Vardek v;
  ASSERT_TRUE(v.start({"-v"}));
  add_both(v, tok_->module);
  // The registry knows the provider by identity, the key list by name.
  std::string uri = "pkcs11:?module-path=" + tok_->module;
  EXPECT_EQ(hex_reply(v, vardek::agent::remove_request(uri)), "00 00 00 01 06");

  // The entries are still listed, but their provider can no longer sign.
  Bytes di = vardek::test::sha256_digest_info("after");
  size_t before = count(v.log(), "debug1: check RSA " + tok_->module + " k1\r\n");
  EXPECT_EQ(hex_reply(v, vardek::agent::sign_request(rsa_blob_, di)), "00 00 00 01 1e");
  EXPECT_EQ(count(v.log(), "debug1: check RSA " + tok_->module + " k1\r\n"), before + 1);

  // Removing under the first name drops the entries; nothing is registered.
  EXPECT_EQ(hex_reply(v, vardek::agent::remove_request(tok_->module)), "00 00 00 01 05");
  before = count(v.log(), "debug1: check ");
  EXPECT_EQ(hex_reply(v, vardek::agent::sign_request(rsa_blob_, di)), "00 00 00 01 1e");
  EXPECT_EQ(count(v.log(), "debug1: check "), before);
  EXPECT_EQ(v.finish(), 0);
}

TEST_F(SoftHsmRequests, TokenWithoutKeysAnswersReason0) {
  auto empty = SoftHsm::make({"--token", "empty"});
  ASSERT_TRUE(empty) << SoftHsm::last_error();
  Vardek v;
  ASSERT_TRUE(v.start());
  EXPECT_EQ(hex_reply(v, vardek::agent::add_request(empty->module, kPin)),
            "00 00 00 05 05 00 00 00 00");
  // Nothing stayed registered.
  EXPECT_EQ(hex_reply(v, vardek::agent::remove_request(empty->module)), "00 00 00 01 05");
  EXPECT_EQ(v.finish(), 0);
}

TEST_F(SoftHsmRequests, VerbosityLevels) {
  struct Level {
    const char *flag;
    bool debug2, debug3;
  } levels[] = {
      {"-v", false, false}, {"-vv", true, false}, {"-vvv", true, true}, {"-vvvv", true, true}};
  for (const auto &l : levels) {
    Vardek v;
    ASSERT_TRUE(v.start({l.flag}));
    add_both(v, tok_->module);
    EXPECT_EQ(hex_reply(v, vardek::agent::remove_request(tok_->module)), "00 00 00 01 06");
    EXPECT_EQ(v.finish(), 0);
    std::string log = v.log();
    EXPECT_NE(log.find("debug1: process_add\r\n"), std::string::npos) << l.flag;
    EXPECT_EQ(log.find("\ndebug2: ") != std::string::npos, l.debug2) << l.flag << "\n" << log;
    EXPECT_EQ(log.find("\ndebug3: ") != std::string::npos, l.debug3) << l.flag << "\n" << log;
  }
}

// --- the mock module ---------------------------------------------------------

class MockRequests : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(mock_.ok()); }
  void configure(const std::string &text) { mock_.configure(text); }
  static std::string data(const char *name) {
    return std::string(VARDEK_MOCK_DATA_DIR) + "/" + name;
  }
  vardek::test::MockModule mock_{"vardek-svc"};
};

TEST_F(MockRequests, AnswerFollowsDiscoveryOrderByteForByte) {
  configure(
      "slot id=1 label=m\n"
      "object class=public key=" +
      data("ec256.pem") +
      " id=01 label=zeta\n"
      "object class=private key=" +
      data("ec256.pem") +
      " id=01 label=zeta\n"
      "object class=public key=" +
      data("rsa2048.pem") +
      " id=02 label=alpha\n"
      "object class=private key=" +
      data("rsa2048.pem") +
      " id=02 label=alpha\n"
      "object class=public key=" +
      data("ec384.pem") +
      " id=03\n"
      "object class=private key=" +
      data("ec384.pem") + " id=03\n");
  auto ec256 = load_pem(data("ec256.pem"));
  auto rsa = load_pem(data("rsa2048.pem"));
  auto ec384 = load_pem(data("ec384.pem"));
  ASSERT_TRUE(ec256 && rsa && ec384);

  Vardek v;
  ASSERT_TRUE(v.start());
  EXPECT_EQ(hex_reply(v, vardek::agent::add_request(VARDEK_MOCK_MODULE, kPin)),
            to_hex(identities_frame({{ssh_blob(ec256.get()), "zeta"},
                                     {ssh_blob(rsa.get()), "alpha"},
                                     {ssh_blob(ec384.get()), ""}})));

  Bytes di = vardek::test::sha256_digest_info("m");
  EXPECT_TRUE(vardek::test::verify(rsa.get(), di, sign(v, ssh_blob(rsa.get()), di)));
  Bytes d384(48, 0x5c);
  EXPECT_TRUE(vardek::test::verify(ec384.get(), d384, sign(v, ssh_blob(ec384.get()), d384)));
  EXPECT_EQ(v.finish(), 0);
}

TEST_F(MockRequests, FailureReasons) {
  Vardek v;
  ASSERT_TRUE(v.start());
  // No configuration: the module reports no slot with a token.
  EXPECT_EQ(hex_reply(v, vardek::agent::add_request(VARDEK_MOCK_MODULE, kPin)),
            "00 00 00 05 05 00 00 00 03");
  // Not a module at all.
  EXPECT_EQ(hex_reply(v, vardek::agent::add_request("/nonexistent/vardek-module.so", kPin)),
            "00 00 00 05 05 00 00 00 01");
  EXPECT_EQ(v.finish(), 0);
}

TEST_F(MockRequests, ProvidersThatYieldNothingUsableFail) {
  configure("slot id=1\nobject class=public key=" + data("secp256k1.pem") + " id=01\n");
  Vardek v;
  ASSERT_TRUE(v.start({"-v"}));
  // The empty name would be the process's own image to dlopen.
  EXPECT_EQ(hex_reply(v, vardek::agent::add_request("", kPin)), "00 00 00 05 05 00 00 00 01");
  // Only keys without an SSH blob: no keys, and the module is unloaded.
  EXPECT_EQ(hex_reply(v, vardek::agent::add_request(VARDEK_MOCK_MODULE, kPin)),
            "00 00 00 05 05 00 00 00 00");
  EXPECT_EQ(hex_reply(v, vardek::agent::remove_request(VARDEK_MOCK_MODULE)), "00 00 00 01 05");
  EXPECT_EQ(v.finish(), 0);
  std::string log = v.log();
  EXPECT_NE(log.find("\ndlopen  failed: empty module path\r\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("C_GetFunctionList for provider  failed"), std::string::npos) << log;
}

TEST_F(MockRequests, RemovedUnderAnotherNameThenAddedAgainStillSigns) {
  // Removing by the URI form of the path drops the provider but not the
  // entries listed under the path; the fresh add's equal key must sign.
  configure("slot id=1\nobject class=public key=" + data("ec256.pem") + " id=01\n" +
            "object class=private key=" + data("ec256.pem") + " id=01\n");
  auto pub = load_pem(data("ec256.pem"));
  ASSERT_TRUE(pub);
  const std::string ident = to_hex(identities_frame({{ssh_blob(pub.get()), ""}}));
  Vardek v;
  ASSERT_TRUE(v.start());
  EXPECT_EQ(hex_reply(v, vardek::agent::add_request(VARDEK_MOCK_MODULE, kPin)), ident);
  EXPECT_EQ(hex_reply(v, vardek::agent::remove_request(std::string("pkcs11:?module-path=") +
                                                       VARDEK_MOCK_MODULE)),
            "00 00 00 01 06");
  EXPECT_EQ(hex_reply(v, vardek::agent::add_request(VARDEK_MOCK_MODULE, kPin)), ident);
  Bytes digest(32, 0x77);
  EXPECT_TRUE(vardek::test::verify(pub.get(), digest, sign(v, ssh_blob(pub.get()), digest)));
  EXPECT_EQ(v.finish(), 0);
}

TEST_F(MockRequests, SearchThatNeverEndsIsCutShort) {
  configure("slot id=1\nobject class=public key=" + data("ec256.pem") + " id=01 label=k\n" +
            "object class=private key=" + data("ec256.pem") + " id=01\nfind_forever\n");
  auto pub = load_pem(data("ec256.pem"));
  ASSERT_TRUE(pub);
  Vardek v;
  ASSERT_TRUE(v.start({"-v"}));
  EXPECT_EQ(hex_reply(v, vardek::agent::add_request(VARDEK_MOCK_MODULE, kPin)),
            to_hex(identities_frame({{ssh_blob(pub.get()), "k"}})));
  // Still serving, and the key signs.
  Bytes digest(32, 0x78);
  EXPECT_TRUE(vardek::test::verify(pub.get(), digest, sign(v, ssh_blob(pub.get()), digest)));
  EXPECT_EQ(v.finish(), 0);
  std::string log = v.log();
  // The public-key search is cut short; the certificate search ends at once
  // on the key object the mock hands it, which has no certificate type.
  EXPECT_EQ(count(log, "\nstopping after 16384 objects in slot 0\r\n"), 1u);
}

}  // namespace
