// The logger: threshold filtering, per-mode prefixes and escaping, the
// truncation steps, errno preservation and the two ways it ends the process.
#include "log/log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "common/capture_fd.h"
#include "log/log_compose.h"
#include "log/ssherr.h"

namespace {

using vardek::test::capture_stderr;

// The text one log call composes for a mode, before it is written.
__attribute__((format(printf, 6, 7))) std::string compose(const char *func, int showfunc, int level,
                                                          int to_stderr, const char *suffix,
                                                          const char *fmt, ...) {
  char out[vardek::LOG_MSG_SIZE];
  va_list args;
  va_start(args, fmt);
  vardek::log_compose(out, func, showfunc, level, to_stderr, suffix, fmt, args);
  va_end(args);
  return out;
}

// Logs one message to standard error at `threshold` and returns what arrived.
template <class F>
std::string stderr_at(int threshold, F &&body) {
  log_init_handler("logtest", threshold, 1);
  return capture_stderr(body);
}

TEST(LogThreshold, ErrorThresholdPassesOnlyErrorAndFatalLevels) {
  std::string out = stderr_at(SSHLOG_ERROR, [] {
    sshlog("f.c", "fn", 1, 0, SSHLOG_DEBUG3, nullptr, "d3");
    sshlog("f.c", "fn", 1, 0, SSHLOG_DEBUG1, nullptr, "d1");
    sshlog("f.c", "fn", 1, 0, SSHLOG_VERBOSE, nullptr, "verbose");
    sshlog("f.c", "fn", 1, 0, SSHLOG_INFO, nullptr, "info");
    sshlog("f.c", "fn", 1, 0, SSHLOG_ERROR, nullptr, "err");
    sshlog("f.c", "fn", 1, 0, SSHLOG_FATAL, nullptr, "fat");
  });
  EXPECT_EQ(out, "err\r\nfat\r\n");
}

TEST(LogThreshold, EachLevelAppearsFromItsOwnThreshold) {
  for (int level = SSHLOG_FATAL; level <= SSHLOG_DEBUG3; level++) {
    EXPECT_EQ(stderr_at(level - 1, [&] { sshlog("f.c", "fn", 1, 0, level, nullptr, "m"); }), "")
        << level;
    EXPECT_NE(stderr_at(level, [&] { sshlog("f.c", "fn", 1, 0, level, nullptr, "m"); }), "")
        << level;
  }
}

TEST(LogStderr, PrefixesAndLineEnd) {
  std::string out = stderr_at(SSHLOG_DEBUG3, [] {
    sshlog("f.c", "send_msg", 7, 1, SSHLOG_FATAL, "incomplete message", "enqueue");
    sshlog("f.c", "fn", 7, 1, SSHLOG_ERROR, nullptr, "bad %d", 5);
    sshlog("f.c", "fn", 7, 0, SSHLOG_INFO, nullptr, "info");
    sshlog("f.c", "fn", 7, 1, SSHLOG_VERBOSE, nullptr, "verbose");
    sshlog("f.c", "fn", 7, 0, SSHLOG_DEBUG1, nullptr, "one");
    sshlog("f.c", "fn", 7, 1, SSHLOG_DEBUG2, nullptr, "two");
    sshlog("f.c", "fn", 7, 1, SSHLOG_DEBUG3, "sfx", "three");
  });
  EXPECT_EQ(out,
            "send_msg: enqueue: incomplete message\r\n"
            "fn: bad 5\r\n"
            "info\r\n"
            "fn: verbose\r\n"
            "debug1: one\r\n"
            "debug2: fn: two\r\n"
            "debug3: fn: three: sfx\r\n");
}

TEST(LogStderr, EmptyMessageIsAnEmptyLine) {
  EXPECT_EQ(
      stderr_at(SSHLOG_INFO, [] { sshlog("f.c", "fn", 1, 0, SSHLOG_INFO, nullptr, "%s", ""); }),
      "\r\n");
}

TEST(LogStderr, NewlinePassesAndEscapeByteIsOctal) {
  EXPECT_EQ(stderr_at(SSHLOG_INFO,
                      [] {
                        sshlog("f.c", "fn", 1, 0, SSHLOG_INFO, nullptr,
                               "a\nb\x1b"
                               "c\\d");
                      }),
            "a\nb\\033c\\\\d\r\n");
}

TEST(LogSyslogText, PrefixesPerLevel) {
  EXPECT_EQ(compose("send_msg", 1, SSHLOG_FATAL, 0, "incomplete message", "enqueue"),
            "fatal: send_msg: enqueue: incomplete message");
  EXPECT_EQ(compose("fn", 1, SSHLOG_ERROR, 0, nullptr, "x"), "error: fn: x");
  EXPECT_EQ(compose("fn", 0, SSHLOG_INFO, 0, nullptr, "x"), "x");
  EXPECT_EQ(compose("fn", 0, SSHLOG_VERBOSE, 0, nullptr, "x"), "x");
  EXPECT_EQ(compose("fn", 0, SSHLOG_DEBUG1, 0, nullptr, "x"), "debug1: x");
  EXPECT_EQ(compose("fn", 0, SSHLOG_DEBUG3, 0, nullptr, "x"), "debug3: x");
  // Levels outside the table are handled like fatal.
  EXPECT_EQ(compose("fn", 0, SSHLOG_QUIET, 0, nullptr, "x"), "fatal: x");
  EXPECT_EQ(compose("fn", 0, 9, 0, nullptr, "x"), "fatal: x");
  EXPECT_EQ(compose("fn", 0, -3, 0, nullptr, "x"), "fatal: x");
  EXPECT_EQ(compose("fn", 0, 9, 1, nullptr, "x"), "x");
}

TEST(LogSyslogText, ControlCharactersAreSpelledOut) {
  EXPECT_EQ(compose("fn", 0, SSHLOG_INFO, 0, nullptr, "a\nb\tc\x1b\xe9"), "a\\nb\\tc\\033\\351");
}

TEST(LogTruncation, LongMessageStepsDownTo1023Then1021) {
  std::string long_msg(2000, 'a');
  std::string text = compose("fn", 0, SSHLOG_INFO, 1, nullptr, "%s", long_msg.c_str());
  EXPECT_EQ(text, std::string(1023, 'a'));
  std::string out = stderr_at(SSHLOG_INFO, [&] {
    sshlog("f.c", "fn", 1, 0, SSHLOG_INFO, nullptr, "%s", long_msg.c_str());
  });
  EXPECT_EQ(out, std::string(1021, 'a') + "\r\n");
}

TEST(LogTruncation, SuffixIsCutAtTheMessageBuffer) {
  std::string msg(1020, 'm');
  EXPECT_EQ(compose("fn", 0, SSHLOG_INFO, 1, "suffix", "%s", msg.c_str()), msg + ": s");
}

TEST(LogTruncation, EscapeThatDoesNotFitIsDroppedWhole) {
  std::string msg = std::string(1022, 'a') + "\\";
  EXPECT_EQ(compose("fn", 0, SSHLOG_INFO, 1, nullptr, "%s", msg.c_str()), std::string(1022, 'a'));
  std::string octal = std::string(1020, 'a') + "\x01";
  EXPECT_EQ(compose("fn", 0, SSHLOG_INFO, 1, nullptr, "%s", octal.c_str()), std::string(1020, 'a'));
  std::string fits = std::string(1019, 'a') + "\x01";
  EXPECT_EQ(compose("fn", 0, SSHLOG_INFO, 1, nullptr, "%s", fits.c_str()),
            std::string(1019, 'a') + "\\001");
}

TEST(LogEscape, StopsAtTheTargetSize) {
  char out[6];
  EXPECT_EQ(vardek::log_escape(out, sizeof out, "ab\\cd", VIS_OCTAL), 5u);
  EXPECT_STREQ(out, "ab\\\\c");
  EXPECT_EQ(vardek::log_escape(out, sizeof out, "a\x01zz", VIS_OCTAL), 5u);
  EXPECT_STREQ(out, "a\\001");
  EXPECT_EQ(vardek::log_escape(out, 1, "abc", VIS_OCTAL), 0u);
  EXPECT_STREQ(out, "");
}

TEST(LogErrno, PreservedWhetherWrittenOrFiltered) {
  std::string out = stderr_at(SSHLOG_ERROR, [] {
    errno = EBADF;
    sshlog("f.c", "fn", 1, 1, SSHLOG_ERROR, nullptr, "written");
    EXPECT_EQ(errno, EBADF);
    errno = ENOSPC;
    sshlog("f.c", "fn", 1, 1, SSHLOG_DEBUG1, nullptr, "filtered");
    EXPECT_EQ(errno, ENOSPC);
  });
  EXPECT_EQ(out, "fn: written\r\n");
}

TEST(LogErrno, ErrnoSuffixSeesCallersErrno) {
  // The macro names the calling function, here the lambda's operator().
  std::string want = std::string("operator(): open: ") + strerror(ENOENT) + "\r\n";
  std::string out = stderr_at(SSHLOG_ERROR, [] {
    errno = ENOENT;
    log_error_fr(SSH_ERR_ERRNO, "open");
  });
  EXPECT_EQ(out, want);
}

TEST(LogInit, NoNameKeepsThreshold) {
  log_init_handler("logtest", SSHLOG_ERROR, 1);
  log_init_handler(nullptr, SSHLOG_DEBUG3, 1);
  EXPECT_EQ(capture_stderr([] { sshlog("f.c", "fn", 1, 0, SSHLOG_DEBUG1, nullptr, "x"); }), "");
  // Even an out-of-range threshold is ignored without a name.
  log_init_handler(nullptr, 99, 1);
  EXPECT_EQ(capture_stderr([] { sshlog("f.c", "fn", 1, 0, SSHLOG_ERROR, nullptr, "e"); }), "e\r\n");
}

using LogDeathTest = ::testing::Test;

TEST_F(LogDeathTest, ThresholdAboveDebug3ExitsWithStatus1) {
  EXPECT_EXIT(log_init_handler("logtest", 8, 1), ::testing::ExitedWithCode(1),
              "^Unrecognized internal syslog level code 8\n$");
  EXPECT_EXIT(log_init_handler("logtest", -1, 0), ::testing::ExitedWithCode(1),
              "Unrecognized internal syslog level code -1\n");
}

TEST_F(LogDeathTest, FatalExits255EvenWhenSilenced) {
  EXPECT_EXIT(
      {
        log_init_handler("logtest", SSHLOG_QUIET, 1);
        sshfatal("f.c", "fn", 1, 1, nullptr, "gone");
      },
      ::testing::ExitedWithCode(255), "^$");
  EXPECT_EXIT(
      {
        log_init_handler("logtest", SSHLOG_ERROR, 1);
        sshfatal("f.c", "send_msg", 1, 1, "incomplete message", "enqueue");
      },
      ::testing::ExitedWithCode(255), "^send_msg: enqueue: incomplete message\r\n$");
}

TEST_F(LogDeathTest, FatalSkipsExitHandlersAndStdioBuffers) {
  EXPECT_EXIT(
      {
        log_init_handler("logtest", SSHLOG_ERROR, 1);
        std::atexit([] { std::fputs("atexit ran", stderr); });
        std::setvbuf(stderr, nullptr, _IOFBF, 1024);
        std::fputs("buffered", stderr);
        sshfatal("f.c", "fn", 1, 0, nullptr, "bye");
      },
      ::testing::ExitedWithCode(255), "^bye\r\n$");
}

}  // namespace
