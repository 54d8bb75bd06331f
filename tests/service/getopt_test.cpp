// The option parser on its own: clusters, operands, "--", "-", unknown
// characters (":" and a second "-" included) and options with arguments.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/capture_fd.h"
#include "log/log.h"
#include "service/getopt_long.h"

namespace {

struct Parse {
  std::string letters;  // every result in order, '?' for errors
  int optind = 0;
  std::string optargs;  // arguments seen, joined with ','
};

// Unknown options are logged at info level; `quiet` keeps them out of the
// test output.
Parse parse(std::vector<std::string> args, const char *options = "v", bool quiet = true) {
  if (quiet) log_init_handler("getopt", SSHLOG_ERROR, 1);
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  vardek::getopt_state st = vardek::getopt_state_init();
  Parse p;
  int ch;
  while ((ch = vardek::getopt_internal(&st, static_cast<int>(args.size()), argv.data(), options)) !=
         -1) {
    p.letters += static_cast<char>(ch);
    if (st.optarg != nullptr) p.optargs += std::string(st.optarg) + ",";
  }
  p.optind = st.optind;
  return p;
}

TEST(Getopt, ClustersAndRepeats) {
  Parse p = parse({"vardek", "-v", "-vv", "-v"});
  EXPECT_EQ(p.letters, "vvvv");
  EXPECT_EQ(p.optind, 4);
}

TEST(Getopt, StopsAtFirstOperandWithoutReordering) {
  Parse p = parse({"vardek", "-v", "foo", "-x", "-v"});
  EXPECT_EQ(p.letters, "v");
  EXPECT_EQ(p.optind, 2);
}

TEST(Getopt, DoubleDashEndsAndIsSkipped) {
  Parse p = parse({"vardek", "-v", "--", "-x"});
  EXPECT_EQ(p.letters, "v");
  EXPECT_EQ(p.optind, 3);
}

TEST(Getopt, LoneDashIsAnOperand) {
  Parse p = parse({"vardek", "-", "-v"});
  EXPECT_EQ(p.letters, "");
  EXPECT_EQ(p.optind, 1);
}

TEST(Getopt, UnknownCharactersGiveQuestionMark) {
  EXPECT_EQ(parse({"vardek", "-x"}).letters, "?");
  EXPECT_EQ(parse({"vardek", "-vx"}).letters, "v?");
  EXPECT_EQ(parse({"vardek", "--x"}).letters, "??");
  EXPECT_EQ(parse({"vardek", "-:"}).letters, "?");
  // ":" is never an option character, even when the option string has one.
  EXPECT_EQ(parse({"vardek", "-:"}, "a:v").letters, "?");
  // After an error the parser goes on where it was.
  Parse p = parse({"vardek", "-xv", "-v"});
  EXPECT_EQ(p.letters, "?vv");
  EXPECT_EQ(p.optind, 3);
}

TEST(Getopt, NoArguments) {
  Parse p = parse({"vardek"});
  EXPECT_EQ(p.letters, "");
  EXPECT_EQ(p.optind, 1);
}

TEST(Getopt, OptionArguments) {
  Parse p = parse({"vardek", "-afoo", "-a", "bar", "-va", "baz", "-v"}, "a:v");
  EXPECT_EQ(p.letters, "aavav");
  EXPECT_EQ(p.optargs, "foo,bar,baz,");
  EXPECT_EQ(p.optind, 7);
  Parse missing = parse({"vardek", "-a"}, "a:v");
  EXPECT_EQ(missing.letters, "?");
  EXPECT_EQ(missing.optind, 2);
}

TEST(Getopt, UnknownOptionIsLoggedAtInfo) {
  log_init_handler("getopt", SSHLOG_INFO, 1);
  std::string out = vardek::test::capture_stderr([] { parse({"vardek", "-vq"}, "v", false); });
  EXPECT_EQ(out, "unknown option -- q\r\n");
  log_init_handler("getopt", SSHLOG_ERROR, 1);
  out = vardek::test::capture_stderr([] { parse({"vardek", "-q"}, "v", false); });
  EXPECT_EQ(out, "");
}

}  // namespace
