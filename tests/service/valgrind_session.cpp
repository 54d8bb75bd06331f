// vardek under memcheck for a whole agent session against a SoftHSM2 token:
// add, 100 signatures with every key, remove, add again, a signature with
// every key, remove, end of input. Passes when memcheck reports no error and
// nothing definitely or indirectly lost (still reachable memory is expected:
// vardek ends with _exit), and every signature is a sign response that
// libcrypto verifies against the key's public half.
//
// Run by ctest (label valgrind) in builds without sanitizers; the valgrind
// command comes from VARDEK_VALGRIND, the suppressions from
// VARDEK_VALGRIND_SUPP (compile definitions).
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/softhsm.h"
#include "service/e2e_keys.h"
#include "service/spawn.h"

namespace {

namespace agent = vardek::agent;
using agent::Bytes;
using vardek::test::SoftHsm;

constexpr int kWaitMs = 60000;  // memcheck makes the token slow
constexpr int kSignatures = 100;

std::string slurp(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Key {
  std::string label;
  vardek::test::Pkey pkey;
  Bytes blob;
};

// What an agent sends to sign message `i`: a SHA-256 DigestInfo for RSA,
// the curve's digest for ECDSA.
Bytes to_sign(const Key &k, int i) {
  std::string msg = "session " + std::to_string(i) + " " + k.label;
  if (EVP_PKEY_is_a(k.pkey.get(), "RSA")) return vardek::test::sha256_digest_info(msg);
  unsigned char h[SHA512_DIGEST_LENGTH];
  unsigned n = 0;
  int bits = EVP_PKEY_get_bits(k.pkey.get());
  const EVP_MD *md = bits <= 256 ? EVP_sha256() : bits <= 384 ? EVP_sha384() : EVP_sha512();
  EVP_Digest(msg.data(), msg.size(), h, &n, md, nullptr);
  return Bytes(h, h + n);
}

TEST(Valgrind, SessionHasNoMemoryErrorsOrLeaks) {
  auto tok = SoftHsm::make({"--token", "vg", "--key", "rsa2048:rsa:01", "--key", "ec256:p256:02",
                            "--key", "ec384:p384:03", "--key", "ec521:p521:04", "--cert", "p256"});
  ASSERT_TRUE(tok) << SoftHsm::last_error();
  std::vector<Key> keys;
  for (const char *label : {"rsa", "p256", "p384", "p521"}) {
    Key k{label, vardek::test::load_pem(tok->path(std::string(label) + ".pub.pem")), {}};
    ASSERT_TRUE(k.pkey) << label;
    k.blob = vardek::test::ssh_blob(k.pkey.get());
    ASSERT_FALSE(k.blob.empty()) << label;
    keys.push_back(std::move(k));
  }

  std::string vglog = tok->path("memcheck.log");
  vardek::test::Vardek v;
  ASSERT_NE(v.err, nullptr);
  ASSERT_TRUE(
      v.child.start({VARDEK_VALGRIND, "--tool=memcheck", "--error-exitcode=97", "--leak-check=full",
                     "--errors-for-leak-kinds=definite,indirect",
                     "--show-leak-kinds=definite,indirect", "--suppressions=" VARDEK_VALGRIND_SUPP,
                     "--num-callers=30", "--log-file=" + vglog, VARDEK_BIN, "-v"},
                    fileno(v.err)));

  auto add = [&](const char *what) {
    auto r = v.child.call(agent::add_request(tok->module, "1234"), kWaitMs);
    ASSERT_TRUE(r) << what << ": no reply\n" << v.log();
    auto ids = agent::parse_identities(*r);
    ASSERT_TRUE(ids) << what << ": reply type " << int(r->type) << "\n" << v.log();
    std::vector<Bytes> got, want;
    for (const auto &id : *ids) got.push_back(id.blob);
    for (const auto &k : keys) want.push_back(k.blob);
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want) << what << ": the answer does not list exactly the token's keys";
  };
  int bad = 0;
  auto sign_all = [&](int rounds) {
    for (int i = 0; i < rounds; i++) {
      for (const auto &k : keys) {
        Bytes tbs = to_sign(k, i);
        auto r = v.child.call(agent::sign_request(k.blob, tbs), kWaitMs);
        auto sig = r ? agent::parse_signature(*r) : std::nullopt;
        if (!sig || !vardek::test::verify(k.pkey.get(), tbs, *sig)) {
          if (bad++ < 5)
            ADD_FAILURE() << k.label << " signature " << i << ": "
                          << (!r     ? "no reply"
                              : !sig ? "reply type " + std::to_string(r->type)
                                     : std::string("does not verify"));
        }
      }
    }
  };
  auto remove = [&](const char *what) {
    auto r = v.child.call(agent::remove_request(tok->module), kWaitMs);
    ASSERT_TRUE(r) << what << ": no reply\n" << v.log();
    EXPECT_EQ(r->type, agent::AGENT_SUCCESS) << what;
  };

  add("add");
  sign_all(kSignatures);
  remove("remove");
  add("second add");
  sign_all(1);
  remove("second remove");
  EXPECT_EQ(bad, 0) << "signatures that failed";

  v.child.close_input();
  int st = v.child.wait(kWaitMs * 2);
  std::string report = slurp(vglog);
  ASSERT_NE(st, -1) << "vardek did not end\n" << report;
  ASSERT_TRUE(WIFEXITED(st)) << "wait status " << st << "\n" << report;
  // 97: memcheck found errors or definite/indirect leaks.
  EXPECT_EQ(WEXITSTATUS(st), 0) << report;
  // The summary proves memcheck ran to the end and checked for leaks.
  EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;
  EXPECT_NE(report.find("HEAP SUMMARY:"), std::string::npos) << report;
}

}  // namespace
