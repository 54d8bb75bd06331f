// vardek as the agent sees it, without tokens: command line, framing, the
// size limit, unknown types, end of input and malformed requests. Each test
// runs the built binary.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/mock_module.h"
#include "service/spawn.h"

namespace {

using vardek::agent::Bytes;
using vardek::test::from_hex;
using vardek::test::to_hex;
using vardek::test::Vardek;

constexpr int kWaitMs = 5000;

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A name that is never registered.
const char *const kNoSuchModule = "/nonexistent/vardek-test-module.so";

// A well-formed ssh-ed25519 public key blob that nothing has loaded.
Bytes ed25519_blob() {
  Bytes b;
  vardek::agent::put_string(b, std::string_view("ssh-ed25519"));
  Bytes pk(32, 0x42);
  vardek::agent::put_string(b, pk);
  return b;
}

std::string reply_hex(Vardek &v) {
  auto r = v.child.recv(kWaitMs);
  return r ? to_hex(vardek::test::framed(*r)) : "no reply";
}

// --- command line ---------------------------------------------------------

TEST(CommandLine, UnknownOptionsPrintUsageAndExit1) {
  for (const char *opt : {"-x", "-vx", "--x", "-:", "-v-"}) {
    Vardek v;
    ASSERT_TRUE(v.start({opt}));
    EXPECT_EQ(v.finish(), 1) << opt;
    EXPECT_EQ(v.log(), "usage: vardek [-v]\n") << opt;
  }
}

TEST(CommandLine, ParsingStopsAtOperandsAndDoubleDash) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"foo", "-x"}, {"--", "-x"}, {"-", "-x"}, {"-v", "--", "-x"}}) {
    Vardek v;
    ASSERT_TRUE(v.start(args));
    ASSERT_TRUE(v.child.send(vardek::agent::remove_request(kNoSuchModule)));
    EXPECT_EQ(reply_hex(v), "00 00 00 01 05") << args[0];
    EXPECT_EQ(v.finish(), 0) << args[0];
  }
}

TEST(CommandLine, WithoutVerboseNothingReachesStandardError) {
  Vardek v;
  ASSERT_TRUE(v.start());
  ASSERT_TRUE(v.child.send(from_hex("00 00 00 04 63 aa bb cc")));
  ASSERT_TRUE(v.child.send(vardek::agent::remove_request(kNoSuchModule)));
  EXPECT_EQ(reply_hex(v), "00 00 00 01 05");
  EXPECT_EQ(v.finish(), 0);
  EXPECT_EQ(v.log(), "");
}

TEST(CommandLine, VerboseLogsDebug1LinesWithCrLf) {
  Vardek v;
  ASSERT_TRUE(v.start({"-v"}));
  ASSERT_TRUE(v.child.send(vardek::agent::remove_request(kNoSuchModule)));
  EXPECT_EQ(reply_hex(v), "00 00 00 01 05");
  EXPECT_EQ(v.finish(), 0);
  std::string log = v.log();
  EXPECT_NE(log.find("debug1: process_del\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("debug1: read eof\r\n"), std::string::npos) << log;
  // Every line is ended by CR LF, and -v alone shows no debug2 or debug3.
  EXPECT_EQ(log.back(), '\n');
  for (size_t p = log.find('\n'); p != std::string::npos; p = log.find('\n', p + 1))
    EXPECT_EQ(log[p - 1], '\r') << p;
  EXPECT_EQ(log.find("debug2: "), std::string::npos) << log;
  EXPECT_EQ(log.find("debug3: "), std::string::npos) << log;
}

// --- framing --------------------------------------------------------------

TEST(Framing, UnknownTypeIsSkippedAndNextFrameServed) {
  Vardek v;
  ASSERT_TRUE(v.start({"-v"}));
  ASSERT_TRUE(v.child.send(
      cat({from_hex("00 00 00 04 63 aa bb cc"), vardek::agent::remove_request(kNoSuchModule)})));
  EXPECT_EQ(reply_hex(v), "00 00 00 01 05");
  EXPECT_EQ(v.finish(), 0);
  // Logged before anything else, with no prefix at error level.
  EXPECT_EQ(v.log().substr(0, 20), "Unknown message 99\r\n") << v.log();
}

TEST(Framing, LengthAboveLimitExits11BeforeTheBodyArrives) {
  struct Case {
    const char *bytes;
    const char *line;
  } cases[] = {{"00 00 28 01 0d", "bad message len 10241\r\n"},
               {"ff ff ff ff 0d", "bad message len -1\r\n"}};
  for (const auto &c : cases) {
    Vardek v;
    ASSERT_TRUE(v.start({"-v"}));
    ASSERT_TRUE(v.child.send(from_hex(c.bytes)));
    int st = v.child.wait(kWaitMs);  // input stays open: vardek ends by itself
    ASSERT_TRUE(WIFEXITED(st)) << st;
    EXPECT_EQ(WEXITSTATUS(st), 11) << c.bytes;
    EXPECT_NE(v.log().find(c.line), std::string::npos) << v.log();
  }
}

TEST(Framing, LengthOfExactlyTheLimitIsServed) {
  // A remove request padded inside its length to a 10,240-byte body: served,
  // the padding skipped, and the next frame served too.
  Bytes body{21};
  vardek::agent::put_string(body, std::string_view(kNoSuchModule));
  vardek::agent::put_string(body, std::string_view(""));
  body.resize(10240, 0xee);
  Vardek v;
  ASSERT_TRUE(v.start());
  ASSERT_TRUE(v.child.send(
      cat({vardek::agent::frame(body), vardek::agent::remove_request(kNoSuchModule)})));
  EXPECT_EQ(reply_hex(v), "00 00 00 01 05");
  EXPECT_EQ(reply_hex(v), "00 00 00 01 05");
  EXPECT_EQ(v.finish(), 0);
}

TEST(Framing, NothingHappensUntilTheFifthByte) {
  Vardek v;
  ASSERT_TRUE(v.start({"-v"}));
  ASSERT_TRUE(v.child.send(from_hex("00 00 00 01")));
  EXPECT_FALSE(v.child.readable(300));
  EXPECT_EQ(v.log().find("Unknown message"), std::string::npos);
  // The fifth byte completes a one-byte frame of an unknown type.
  ASSERT_TRUE(v.child.send(cat({from_hex("63"), vardek::agent::remove_request(kNoSuchModule)})));
  EXPECT_EQ(reply_hex(v), "00 00 00 01 05");
  EXPECT_EQ(v.finish(), 0);
  EXPECT_NE(v.log().find("Unknown message 99\r\n"), std::string::npos) << v.log();
}

TEST(Framing, EndOfInputMidFrameExits0WithoutReply) {
  for (const char *partial : {"00 00 00", "00 00 00 20", "00 00 00 20 15 00 00 00 10 2f"}) {
    Vardek v;
    ASSERT_TRUE(v.start({"-v"}));
    ASSERT_TRUE(v.child.send(from_hex(partial)));
    v.child.close_input();
    EXPECT_TRUE(v.child.read_all(kWaitMs).empty()) << partial;
    EXPECT_EQ(v.finish(), 0) << partial;
    EXPECT_NE(v.log().find("debug1: read eof\r\n"), std::string::npos) << v.log();
  }
}

TEST(Framing, TwoFramesInOneWriteAreAnsweredInOrder) {
  Vardek v;
  ASSERT_TRUE(v.start());
  ASSERT_TRUE(v.child.send(cat({vardek::agent::sign_request(ed25519_blob(), from_hex("01 02")),
                                vardek::agent::remove_request(kNoSuchModule)})));
  EXPECT_EQ(to_hex(v.child.read_all(1000)), "00 00 00 01 1e 00 00 00 01 05");
  EXPECT_EQ(v.finish(), 0);
}

TEST(Framing, ZeroLengthFrameEndsWith255) {
  // The byte after the length is taken as the type; consuming it already
  // exceeds the frame.
  Vardek v;
  ASSERT_TRUE(v.start({"-v"}));
  ASSERT_TRUE(v.child.send(from_hex("00 00 00 00 63 00 00 00 00")));
  int st = v.child.wait(kWaitMs);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 255);
  EXPECT_NE(v.log().find("msg_len 0 < consumed 1\r\n"), std::string::npos) << v.log();
}

TEST(Framing, FieldsPastTheFrameEndWith255BeforeAnyWork) {
  // A handler parses its own frame only: fields that run on into the bytes
  // after it are a parse failure, before any module is loaded.
  vardek::test::MockModule mock("vardek-framing");
  ASSERT_TRUE(mock.ok());
  mock.log_calls();
  Bytes fields;  // name and PIN of an add, outside any frame
  vardek::agent::put_string(fields, std::string_view(VARDEK_MOCK_MODULE));
  vardek::agent::put_string(fields, std::string_view("1234"));
  struct Case {
    const char *what;
    Bytes stream;
    const char *line;
  } cases[] = {
      {"remove cut short", from_hex("00 00 00 05 15 00 00 00 03 61 62 63 00 00 00 00"),
       "process_del: parse: incomplete message"},
      {"add with only its type", cat({from_hex("00 00 00 01 14"), fields}),
       "process_add: parse: incomplete message"},
  };
  for (const auto &c : cases) {
    Vardek v;
    ASSERT_TRUE(v.start({"-v"}));
    ASSERT_TRUE(v.child.send(c.stream));
    EXPECT_TRUE(v.child.read_all(1000).empty()) << c.what;
    int st = v.child.wait(kWaitMs);
    ASSERT_TRUE(WIFEXITED(st)) << c.what;
    EXPECT_EQ(WEXITSTATUS(st), 255) << c.what;
    EXPECT_NE(v.log().find(c.line), std::string::npos) << c.what << ": " << v.log();
  }
  // Not one Cryptoki call: the module was never even loaded.
  EXPECT_FALSE(std::ifstream(mock.log_path()).good());
}

// --- malformed requests --------------------------------------------------

struct Malformed {
  const char *what;
  Bytes frame;
  const char *line;  // start of the fatal line
};

TEST(Requests, MalformedFieldsEndWith255WithoutReply) {
  Bytes no_flags{13};
  vardek::agent::put_string(no_flags, ed25519_blob());
  vardek::agent::put_string(no_flags, from_hex("01"));
  Bytes inner_nul{20};
  vardek::agent::put_string(inner_nul, std::string_view("/a\0b", 4));
  vardek::agent::put_string(inner_nul, std::string_view("1234"));
  Bytes zero_blob{13};
  vardek::agent::put_string(zero_blob, from_hex("00 00 00 00"));
  vardek::agent::put_string(zero_blob, from_hex("01"));
  vardek::agent::put_u32(zero_blob, 0);
  Bytes del_no_pin{21};
  vardek::agent::put_string(del_no_pin, std::string_view(kNoSuchModule));

  Malformed cases[] = {
      {"sign without flags", vardek::agent::frame(no_flags), "process_sign: parse: "},
      {"add with inner NUL", vardek::agent::frame(inner_nul), "process_add: parse: "},
      {"sign with zero blob", vardek::agent::frame(zero_blob), "process_sign: decode key: "},
      {"remove without PIN", vardek::agent::frame(del_no_pin), "process_del: parse: "},
  };
  for (const auto &c : cases) {
    Vardek v;
    ASSERT_TRUE(v.start({"-v"}));
    ASSERT_TRUE(v.child.send(c.frame));
    EXPECT_TRUE(v.child.read_all(1000).empty()) << c.what;
    int st = v.child.wait(kWaitMs);
    ASSERT_TRUE(WIFEXITED(st)) << c.what;
    EXPECT_EQ(WEXITSTATUS(st), 255) << c.what;
    EXPECT_NE(v.log().find(std::string("\n") + c.line), std::string::npos)
        << c.what << ": " << v.log();
  }
}

TEST(Requests, SignForAnUnknownKeyFails) {
  Vardek v;
  ASSERT_TRUE(v.start({"-v"}));
  ASSERT_TRUE(v.child.send(vardek::agent::sign_request(ed25519_blob(), from_hex("00 11 22"), 7)));
  EXPECT_EQ(reply_hex(v), "00 00 00 01 1e");
  EXPECT_EQ(v.finish(), 0);
  EXPECT_EQ(v.log().find("check "), std::string::npos) << v.log();
}

}  // namespace
