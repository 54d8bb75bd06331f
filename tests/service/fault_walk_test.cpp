// The fault walk: a whole agent session (add, a sign with every key, remove,
// add again, sign again, remove) against the mock module, repeated with the
// module told to fail its Nth Cryptoki call for N = 1, 2, 3, ... until the
// session makes fewer than N calls. Whatever call fails, and however, vardek
// must:
//   - answer every request with a type allowed for it (add 12 or 5, sign 14
//     or 30, remove 6 or 5), and a remove with 6 exactly when the add before
//     it answered 12;
//   - list only the token's keys, and answer 14 only with a signature that
//     verifies against the key;
//   - keep serving: a sign after the session still gets its answer (30, as
//     nothing is registered any more), and closing standard input ends it
//     with status 0;
//   - finalise every module it initialised, the last one after the final
//     remove when that remove answered 6;
//   - leave no sanitizer report in its log (the ASan build runs this too).
// The run in which the fault never fires is the plain session: it must list
// all keys and make every signature.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/mock_module.h"
#include "pkcs11/mock/mock_p11.h"
#include "service/e2e_keys.h"
#include "service/spawn.h"

namespace {

namespace agent = vardek::agent;
using agent::Bytes;
using vardek::test::Vardek;

constexpr int kWaitMs = 20000;
constexpr const char *kPin = "1234";
// More calls than any session makes: a walk that gets here means vardek
// calls the module without end.
constexpr unsigned long kMaxN = 1000;

std::string data(const char *name) { return std::string(VARDEK_MOCK_DATA_DIR) + "/" + name; }

// A login_required token with an RSA key and EC keys on the three curves,
// each a private and a public object, and a certificate of the P-256 key.
std::string token_config() {
  std::string c = "slot id=3 label=walk flags=initialized,login_required pin=1234\n";
  const char *keys[] = {"rsa2048.pem", "ec256.pem", "ec384.pem", "ec521.pem"};
  for (int i = 0; i < 4; i++) {
    std::string id = "0" + std::to_string(i + 1);
    for (const char *cls : {"private", "public"})
      c += std::string("object class=") + cls + " key=" + data(keys[i]) + " id=" + id +
           " label=key" + id + "\n";
  }
  c += "object class=certificate cert=" + data("ec256.crt") + " id=02 label=key02\n";
  return c;
}

struct TestKey {
  vardek::test::Pkey pkey;
  Bytes blob;
  Bytes tbs;  // what an agent sends to sign: a DigestInfo (RSA) or a digest
};

std::vector<TestKey> load_keys() {
  std::vector<TestKey> keys;
  for (const char *f : {"rsa2048.pem", "ec256.pem", "ec384.pem", "ec521.pem"}) {
    TestKey k;
    k.pkey = vardek::test::load_pem(data(f));
    if (!k.pkey) continue;
    k.blob = vardek::test::ssh_blob(k.pkey.get());
    if (EVP_PKEY_is_a(k.pkey.get(), "RSA")) {
      k.tbs = vardek::test::sha256_digest_info(f);
    } else {
      unsigned char h[SHA512_DIGEST_LENGTH];
      SHA512(reinterpret_cast<const unsigned char *>(f), std::char_traits<char>::length(f), h);
      size_t n = std::min<size_t>(sizeof h, (EVP_PKEY_get_bits(k.pkey.get()) + 7) / 8);
      k.tbs.assign(h, h + n);
    }
    keys.push_back(std::move(k));
  }
  return keys;
}

bool is_call(const std::string &line, const char *name) {
  size_t n = std::char_traits<char>::length(name);
  return line.compare(0, n, name) == 0 && (line.size() == n || line[n] == ' ');
}

// The calls that fault N hit: the mock's "any" counter restarts at every
// C_Initialize and counts each later call but C_GetFunctionList.
struct Fired {
  std::vector<std::string> calls;  // one per initialisation it fired in
};

Fired fired_calls(const std::vector<std::string> &log, unsigned long n) {
  Fired f;
  bool counting = false;
  size_t count = 0;
  for (const auto &line : log) {
    if (is_call(line, "C_Initialize")) {
      counting = true;
      count = 0;
      continue;
    }
    if (!counting || is_call(line, "C_GetFunctionList")) continue;
    if (++count == n) f.calls.push_back(line);
  }
  return f;
}

std::string describe_status(int st) {
  if (st == -1) return "did not exit (killed after the time-out)";
  if (WIFEXITED(st)) return "exit status " + std::to_string(WEXITSTATUS(st));
  if (WIFSIGNALED(st)) return std::string("killed by signal ") + strsignal(WTERMSIG(st));
  return "wait status " + std::to_string(st);
}

class FaultWalk : public ::testing::TestWithParam<const char *> {
 protected:
  // A vardek that died must show as a missing reply, not end the test.
  static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }
  void SetUp() override {
    ASSERT_TRUE(mock_.ok());
    keys_ = load_keys();
    ASSERT_EQ(keys_.size(), 4u);
    for (const auto &k : keys_) ASSERT_FALSE(k.blob.empty());
  }
  // One session with `fail any N RV`; returns what went wrong (empty when
  // nothing did) and the call log.
  std::string session(unsigned long n, std::vector<std::string> &calls, bool &saw_fault) {
    mock_.configure(token_config() + "fail any " + std::to_string(n) + " " + GetParam() + "\n");
    mock_.log_calls();

    std::ostringstream bad;
    Vardek v;
    if (!v.start({"-v"})) return "vardek did not start";

    auto call = [&](const std::string &what, const Bytes &req,
                    std::initializer_list<uint8_t> allowed) -> std::optional<agent::Reply> {
      auto r = v.child.call(req, kWaitMs);
      if (!r) {
        bad << what << ": no reply\n";
      } else if (std::find(allowed.begin(), allowed.end(), r->type) == allowed.end()) {
        bad << what << ": reply type " << int(r->type) << "\n";
        r.reset();
      }
      return r;
    };
    // An add; the keys it listed (none on failure).
    auto add = [&](const std::string &what, bool &listed) {
      std::vector<agent::Identity> ids;
      listed = false;
      auto r = call(what, agent::add_request(VARDEK_MOCK_MODULE, kPin), {12, 5});
      if (r && r->type == 12) {
        auto got = agent::parse_identities(*r);
        if (!got)
          bad << what << ": malformed identities answer\n";
        else if (got->empty())
          bad << what << ": identities answer without keys, not reason 0\n";
        else
          ids = *got, listed = true;
      } else if (r && !agent::parse_add_failure(*r)) {
        bad << what << ": malformed failure answer\n";
      }
      return ids;
    };
    int signed_ok = 0;
    auto sign_all = [&](const std::string &what, const std::vector<agent::Identity> &ids) {
      for (const auto &id : ids) {
        auto k = std::find_if(keys_.begin(), keys_.end(),
                              [&](const TestKey &t) { return t.blob == id.blob; });
        if (k == keys_.end()) {
          bad << what << ": listed a key that is not on the token\n";
          continue;
        }
        auto r = call(what + " " + id.label, agent::sign_request(id.blob, k->tbs), {14, 30});
        if (!r || r->type != 14) continue;
        auto sig = agent::parse_signature(*r);
        if (!sig || !vardek::test::verify(k->pkey.get(), k->tbs, *sig))
          bad << what << " " << id.label << ": signature does not verify\n";
        else
          signed_ok++;
      }
    };
    auto remove = [&](const std::string &what, bool added) {
      auto r = call(what, agent::remove_request(VARDEK_MOCK_MODULE), {6, 5});
      if (r && r->type != (added ? 6 : 5))
        bad << what << ": answered " << int(r->type) << " after an add that answered "
            << (added ? 12 : 5) << "\n";
      return r && r->type == 6;
    };

    bool listed1 = false, listed2 = false;
    auto first = add("add", listed1);
    sign_all("sign", first);
    remove("remove", listed1);
    auto second = add("second add", listed2);
    sign_all("second sign", second);
    size_t before_last_remove = mock_.calls().size();
    bool removed = remove("final remove", listed2);

    // Still serving, with nothing registered: a sign finds no key.
    Bytes blob = first.empty() ? keys_[0].blob : first[0].blob;
    call("sign after the session", agent::sign_request(blob, keys_[0].tbs), {30});
    v.child.close_input();
    int st = v.child.wait(kWaitMs);
    if (st == -1 || !WIFEXITED(st) || WEXITSTATUS(st) != 0)
      bad << "end of input: " << describe_status(st) << "\n";

    std::string err = v.log();
    for (const char *s : {"ERROR: AddressSanitizer", "runtime error:", "LeakSanitizer"})
      if (err.find(s) != std::string::npos) bad << "sanitizer report (" << s << ")\n";

    calls = mock_.calls();
    size_t inits = vardek::mock::count_calls(calls, "C_Initialize");
    size_t finals = vardek::mock::count_calls(calls, "C_Finalize");
    if (inits != finals)
      bad << inits << " C_Initialize but " << finals << " C_Finalize: a module stayed loaded\n";
    if (removed &&
        std::none_of(calls.begin() + std::min(before_last_remove, calls.size()), calls.end(),
                     [](const std::string &l) { return is_call(l, "C_Finalize"); }))
      bad << "final remove answered 6 but did not finalise the module\n";

    saw_fault = !fired_calls(calls, n).calls.empty();
    if (!saw_fault) {
      // The plain session: everything works.
      if (!listed1 || !listed2 || first.size() != 4 || second.size() != 4)
        bad << "without a fault the adds listed " << first.size() << " and " << second.size()
            << " keys, not 4\n";
      if (signed_ok != 8) bad << "without a fault only " << signed_ok << " of 8 signatures\n";
    }
    std::string out = bad.str();
    if (!out.empty()) out += "--- vardek's log ---\n" + err;
    return out;
  }

  vardek::test::MockModule mock_{"vardek-walk"};
  std::vector<TestKey> keys_;
};

TEST_P(FaultWalk, EveryCallFailingLeavesVardekServing) {
  unsigned long n = 1;
  for (; n <= kMaxN; n++) {
    std::vector<std::string> calls;
    bool fired = false;
    std::string problems = session(n, calls, fired);
    if (!problems.empty()) {
      std::string where;
      for (const auto &c : fired_calls(calls, n).calls) where += "  " + c + "\n";
      std::string log;
      for (const auto &c : calls) log += "  " + c + "\n";
      ADD_FAILURE() << "fail any " << n << " " << GetParam() << "\nfailed calls:\n"
                    << (where.empty() ? "  (none)\n" : where) << problems << "--- call log ---\n"
                    << log;
    }
    if (!fired) break;
  }
  EXPECT_LE(n, kMaxN) << "the session never ends its Cryptoki calls";
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultWalk,
                         ::testing::Values("CKR_DEVICE_REMOVED", "CKR_SESSION_HANDLE_INVALID",
                                           "CKR_GENERAL_ERROR"),
                         [](const auto &p) { return std::string(p.param).substr(4); });

}  // namespace
