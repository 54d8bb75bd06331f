// The reply stream under pressure: modules that print to standard output,
// agents that pipeline on blocking pipes, and floods of requests written
// before any reply is read. Each test runs the built binary.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/mock_module.h"
#include "service/e2e_keys.h"
#include "service/spawn.h"

namespace {

using vardek::agent::Bytes;
using vardek::test::Vardek;

// A remove request for a name nobody registered: answered with 05, cheaply.
const Bytes kRemove = vardek::agent::remove_request("x");
const Bytes kRemoveReply = {0, 0, 0, 1, 5};

// A sign request for a key nobody loaded: answered with 1e.
Bytes unknown_sign() {
  Bytes blob;
  vardek::agent::put_string(blob, std::string_view("ssh-ed25519"));
  vardek::agent::put_string(blob, Bytes(32, 0x42));
  return vardek::agent::sign_request(blob, Bytes{1, 2, 3});
}

class Stream : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }
};

TEST_F(Stream, ModuleOutputNeverReachesTheAgent) {
  // The module writes to descriptor 1 in C_Initialize and printf()s in every
  // C_Sign; all of it must land on standard error, none in the replies.
  vardek::test::MockModule mock("vardek-chatter");
  ASSERT_TRUE(mock.ok());
  std::string key = std::string(VARDEK_MOCK_DATA_DIR) + "/ec256.pem";
  std::string conf = "slot id=1 label=t\n";
  conf += "object class=public key=" + key + " id=01 label=k\n";
  conf += "object class=private key=" + key + " id=01\n";
  conf += "chatter MODULE-SAYS:" + std::string(50, '.') + "%0a\n";
  mock.configure(conf);
  auto pub = vardek::test::load_pem(key);
  ASSERT_TRUE(pub);

  Vardek v;
  ASSERT_TRUE(v.start());
  auto ids = vardek::agent::parse_identities(
      v.child.call(vardek::agent::add_request(VARDEK_MOCK_MODULE, "1234"), 10000).value());
  ASSERT_TRUE(ids && ids->size() == 1);
  // Enough signatures for stdio to flush its 4 KiB buffer several times.
  Bytes digest(32, 0x11);
  for (int i = 0; i < 300; i++) {
    auto r = v.child.call(vardek::agent::sign_request((*ids)[0].blob, digest), 10000);
    ASSERT_TRUE(r) << "signature " << i;
    auto sig = vardek::agent::parse_signature(*r);
    ASSERT_TRUE(sig) << "signature " << i;
    ASSERT_TRUE(vardek::test::verify(pub.get(), digest, *sig)) << "signature " << i;
  }
  EXPECT_EQ(v.finish(), 0);
  // The write in C_Initialize and the flushed printf()s all went to the log.
  const std::string log = v.log();
  size_t said = 0;
  for (size_t at = log.find("MODULE-SAYS"); at != std::string::npos;
       at = log.find("MODULE-SAYS", at + 1))
    said++;
  EXPECT_GT(said, 100u) << log.substr(0, 2000);
}

TEST_F(Stream, AgentPipeliningOnBlockingPipesIsServed) {
  // The agent writes 256 KiB of requests, reads 4 KiB of replies, and
  // repeats, all blocking. vardek must never block on a write the pipe
  // cannot take, or both ends wait on each other for ever.
  const size_t per_round = 256 * 1024 / kRemove.size();
  const size_t replies_per_read = 4096 / kRemoveReply.size();
  const int rounds = 12;
  Bytes chunk;
  for (size_t i = 0; i < per_round; i++) chunk.insert(chunk.end(), kRemove.begin(), kRemove.end());

  Vardek v;
  ASSERT_TRUE(v.start());
  auto agent = std::async(std::launch::async, [&]() -> size_t {
    size_t answered = 0;
    for (int r = 0; r < rounds; r++) {
      if (!v.child.send(chunk)) return answered;
      for (size_t i = 0; i < replies_per_read; i++, answered++)
        if (!v.child.recv(-1)) return answered;
    }
    for (size_t total = per_round * rounds; answered < total; answered++)
      if (!v.child.recv(-1)) return answered;
    return answered;
  });
  if (agent.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    kill(v.child.pid(), SIGKILL);  // unblocks the agent thread
    agent.wait();
    FAIL() << "vardek and the agent deadlocked";
  }
  EXPECT_EQ(agent.get(), per_round * rounds);
  EXPECT_EQ(v.finish(), 0);
}

TEST_F(Stream, FloodIsAnsweredCompletelyAndInOrder) {
  // 4 MB of requests in one blocking write before any reply is read. The
  // replies follow a pattern (sign failure, remove failure, an unanswered
  // unknown type in between), so a lost, doubled or reordered reply shows.
  const Bytes sign = unknown_sign();
  const Bytes unknown = {0, 0, 0, 3, 99, 0, 0};
  Bytes stream, expected;
  for (size_t i = 0; stream.size() < 4 * 1024 * 1024; i++) {
    const bool is_sign = (i * 2654435761u >> 7) & 1;
    const Bytes &req = is_sign ? sign : kRemove;
    stream.insert(stream.end(), req.begin(), req.end());
    if (is_sign) {
      expected.insert(expected.end(), {0, 0, 0, 1, 0x1e});
    } else {
      expected.insert(expected.end(), kRemoveReply.begin(), kRemoveReply.end());
    }
    if (i % 7 == 0) stream.insert(stream.end(), unknown.begin(), unknown.end());
  }
  Vardek v;
  ASSERT_TRUE(v.start());
  auto writer = std::async(std::launch::async, [&] { return v.child.send(stream); });
  if (writer.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    kill(v.child.pid(), SIGKILL);
    writer.wait();
    FAIL() << "vardek stopped reading the flood";
  }
  ASSERT_TRUE(writer.get());
  Bytes got;
  while (got.size() < expected.size()) {
    Bytes more = v.child.read_all(500);
    if (more.empty()) break;
    got.insert(got.end(), more.begin(), more.end());
  }
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected) << "replies differ from the requests' order";
  EXPECT_EQ(v.finish(), 0);
}

}  // namespace
