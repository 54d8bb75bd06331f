// A sign request whose key blob vardek has decoded before must be answered
// exactly as the first time: what the decoder keeps from earlier requests
// (checked points, curve groups) may only save work. Each blob of the table
// goes to two vardeks that listed the same keys of the mock module: a cold
// one, for which the blob is the first request, and a warm one, which was
// sent every well-formed blob of the table (this one included) first. The
// reply, the exit status, the log lines and the module's call log of that
// request must be the same in both.
#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/mock_module.h"
#include "service/e2e_keys.h"
#include "service/spawn.h"

namespace {

using vardek::agent::Bytes;
using vardek::test::Vardek;

constexpr int kWaitMs = 30000;

struct Case {
  std::string name;
  Bytes blob;
  Bytes data;
  EVP_PKEY *key;  // checks the signature when the request signs; else null
  bool fatal;     // the request ends the process
};

// What one request did: the reply, the log and call-log lines it caused
// (addresses masked, they differ between processes), the exit status.
struct Outcome {
  std::string reply;  // type and body in hex, "none" when there is no reply
  Bytes signature;    // of a sign response (ECDSA ones differ every time)
  std::string log;
  std::vector<std::string> calls;
  int status = -2;
};

class RepeatedBlob : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mock_.ok());
    std::string conf = "slot id=1 label=m flags=initialized,login_required\n";
    const char *files[] = {"rsa2048.pem", "ec256.pem", "ec384.pem", "ec521.pem"};
    for (int i = 0; i < 4; i++) {
      std::string f = std::string(VARDEK_MOCK_DATA_DIR) + "/" + files[i];
      std::string id = " id=0" + std::to_string(i + 1) + " label=" + files[i] + "\n";
      conf += "object class=public key=" + f + id + "object class=private key=" + f + id;
      keys_.push_back(vardek::test::load_pem(f));
      ASSERT_TRUE(keys_.back());
    }
    mock_.configure(conf);
    mock_.log_calls();
  }

  // Starts a vardek at debug1 and adds the mock module; checks every key
  // is listed with the blob the test computes.
  void start(Vardek &v) {
    ASSERT_TRUE(v.start({"-v"}));
    auto r = v.child.call(vardek::agent::add_request(VARDEK_MOCK_MODULE, "1234"), kWaitMs);
    ASSERT_TRUE(r);
    auto ids = vardek::agent::parse_identities(*r);
    ASSERT_TRUE(ids && ids->size() == keys_.size());
    for (size_t i = 0; i < keys_.size(); i++)
      ASSERT_EQ((*ids)[i].blob, vardek::test::ssh_blob(keys_[i].get()));
  }

  // Every "0x" and the hex digits after it become "0x?".
  static std::string masked(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
      out += s[i];
      if (s[i] == '0' && i + 1 < s.size() && s[i + 1] == 'x') {
        out += "x?";
        i += 2;
        while (i < s.size() && std::isxdigit(static_cast<unsigned char>(s[i])) != 0) i++;
        i--;
      }
    }
    return out;
  }

  // Sends `c` to `v` and records what it did; `v` is finished afterwards.
  Outcome send(Vardek &v, const Case &c) {
    Outcome o;
    size_t log_mark = v.log().size();
    mock_.clear_calls();
    auto r = v.child.call(vardek::agent::sign_request(c.blob, c.data), kWaitMs);
    o.reply = r ? std::to_string(r->type) + ": " + vardek::test::to_hex(r->body) : "none";
    if (r) {
      if (auto sig = vardek::agent::parse_signature(*r)) {
        o.signature = *sig;
        o.reply = "sign response";
      }
    }
    o.status = v.finish();
    o.calls = mock_.calls();
    for (auto &l : o.calls) l = masked(l);
    o.log = masked(v.log().substr(log_mark));
    return o;
  }

  vardek::test::MockModule mock_{"vardek-repeat"};
  std::vector<vardek::test::Pkey> keys_;
};

TEST_F(RepeatedBlob, AnsweredAsTheFirstTime) {
  auto fresh = vardek::test::Pkey(EVP_EC_gen("P-384"));
  ASSERT_TRUE(fresh);
  std::vector<Case> cases;
  const Bytes digest_info(83, 0x31);  // DigestInfo + SHA-512 length
  const size_t ec_len[] = {0, 32, 48, 64};
  const size_t point_len[] = {0, 65, 97, 133};
  for (size_t i = 0; i < keys_.size(); i++) {
    Bytes blob = vardek::test::ssh_blob(keys_[i].get());
    Bytes data = i == 0 ? digest_info : Bytes(ec_len[i], static_cast<uint8_t>(0x40 + i));
    std::string n = "listed key " + std::to_string(i);
    cases.push_back({n, blob, data, keys_[i].get(), false});
    // One byte short and one byte long: a prefix or an extension of a blob
    // seen before is no blob seen before.
    cases.push_back({n + " cut", Bytes(blob.begin(), blob.end() - 1), data, nullptr, true});
    Bytes longer = blob;
    longer.push_back(0);
    cases.push_back({n + " extended", longer, data, nullptr, true});
    if (i == 0) continue;
    // The point's last byte changed: no longer on the curve.
    Bytes off = blob;
    off.back() ^= 0x01;
    cases.push_back({n + " point off the curve", off, data, nullptr, true});
    // The same point compressed: equal key, other encoding (refused).
    const size_t plen = point_len[i];
    Bytes comp(blob.begin(), blob.end() - static_cast<long>(plen + 4));
    Bytes cpoint(blob.end() - static_cast<long>(plen), blob.end() - static_cast<long>(plen / 2));
    cpoint[0] = static_cast<uint8_t>(2 + (blob.back() & 1));
    vardek::agent::put_string(comp, cpoint);
    cases.push_back({n + " compressed", comp, data, nullptr, true});
  }
  // An RSA blob whose exponent carries a leading zero byte: equal key,
  // other encoding, which the decoder accepts.
  {
    Bytes blob = vardek::test::ssh_blob(keys_[0].get());
    Bytes padded(blob.begin(), blob.begin() + 11);  // "ssh-rsa" string
    const size_t elen = blob[14];
    Bytes e(elen + 1, 0);  // the leading zero, then the exponent's bytes
    std::copy(blob.begin() + 15, blob.begin() + 15 + static_cast<long>(elen), e.begin() + 1);
    vardek::agent::put_string(padded, e);
    padded.insert(padded.end(), blob.begin() + 15 + blob[14], blob.end());
    cases.push_back(
        {"rsa exponent with a leading zero", padded, digest_info, keys_[0].get(), false});
  }
  // A point on P-256 with a tiny x: on the curve, so it parses, but the
  // point check refuses it.
  {
    std::unique_ptr<EC_GROUP, void (*)(EC_GROUP *)> g(
        EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1), EC_GROUP_free);
    std::unique_ptr<EC_POINT, void (*)(EC_POINT *)> q(EC_POINT_new(g.get()), EC_POINT_free);
    std::unique_ptr<BIGNUM, void (*)(BIGNUM *)> x(BN_new(), BN_free);
    ASSERT_TRUE(g && q && x);
    for (BN_ULONG v = 1;; v++) {
      ASSERT_EQ(BN_set_word(x.get(), v), 1);
      if (EC_POINT_set_compressed_coordinates(g.get(), q.get(), x.get(), 0, nullptr) == 1) break;
    }
    Bytes point(65);
    ASSERT_EQ(EC_POINT_point2oct(g.get(), q.get(), POINT_CONVERSION_UNCOMPRESSED, point.data(),
                                 point.size(), nullptr),
              65u);
    Bytes blob;
    vardek::agent::put_string(blob, std::string_view("ecdsa-sha2-nistp256"));
    vardek::agent::put_string(blob, std::string_view("nistp256"));
    vardek::agent::put_string(blob, point);
    cases.push_back({"P-256 point with a tiny x", blob, Bytes(32, 0x55), nullptr, true});
  }
  cases.push_back(
      {"unknown P-384 key", vardek::test::ssh_blob(fresh.get()), Bytes(48, 0x66), nullptr, false});

  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Vardek cold;
    ASSERT_NO_FATAL_FAILURE(start(cold));
    Outcome first = send(cold, c);

    Vardek warm;
    ASSERT_NO_FATAL_FAILURE(start(warm));
    for (const Case &w : cases) {
      if (w.fatal) continue;
      auto r = warm.child.call(vardek::agent::sign_request(w.blob, w.data), kWaitMs);
      ASSERT_TRUE(r);
    }
    Outcome again = send(warm, c);

    EXPECT_EQ(first.reply, again.reply);
    EXPECT_EQ(first.status, again.status);
    EXPECT_EQ(first.log, again.log);
    EXPECT_EQ(first.calls, again.calls);
    if (c.fatal) {
      EXPECT_EQ(first.reply, "none");
      EXPECT_NE(first.log.find("decode key"), std::string::npos) << first.log;
    } else if (c.key != nullptr) {
      EXPECT_EQ(first.reply, "sign response");
      EXPECT_TRUE(vardek::test::verify(c.key, c.data, first.signature));
      EXPECT_TRUE(vardek::test::verify(c.key, c.data, again.signature));
    } else {
      EXPECT_EQ(first.reply, "30: ");
    }
  }
}

}  // namespace
