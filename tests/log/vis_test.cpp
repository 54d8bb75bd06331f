// vis(): the two flag sets the logger uses, byte by byte, plus the
// backslash-letter and octal details of the encoder.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "log/log.h"

namespace {

constexpr int kStderrFlags = VIS_OCTAL | VIS_SAFE;                       // 0x21
constexpr int kSyslogFlags = VIS_OCTAL | VIS_CSTYLE | VIS_TAB | VIS_NL;  // 0x1b

std::string enc(int c, int flags, int nextc = 0) {
  char buf[8];
  std::memset(buf, 'X', sizeof buf);
  char *end = vis(buf, c, flags, nextc);
  EXPECT_EQ(*end, '\0');
  return std::string(buf, static_cast<size_t>(end - buf));
}

TEST(Vis, FlagSetsHaveTheirNumericValues) {
  EXPECT_EQ(kStderrFlags, 0x21);
  EXPECT_EQ(kSyslogFlags, 0x1b);
}

TEST(Vis, GraphicAsciiAndSpacePassInBothModes) {
  for (int c = 0x20; c <= 0x7e; c++) {
    if (c == '\\') continue;
    std::string self(1, static_cast<char>(c));
    EXPECT_EQ(enc(c, kStderrFlags), self) << c;
    EXPECT_EQ(enc(c, kSyslogFlags), self) << c;
  }
}

TEST(Vis, BackslashIsDoubled) {
  EXPECT_EQ(enc('\\', kStderrFlags), "\\\\");
  EXPECT_EQ(enc('\\', kSyslogFlags), "\\\\");
}

TEST(Vis, StderrModeKeepsLayoutCharacters) {
  for (int c : {'\t', '\n', '\a', '\b', '\r'})
    EXPECT_EQ(enc(c, kStderrFlags), std::string(1, static_cast<char>(c))) << c;
  EXPECT_EQ(enc('\v', kStderrFlags), "\\013");
  EXPECT_EQ(enc('\f', kStderrFlags), "\\014");
}

TEST(Vis, SyslogModeSpellsOutLayoutCharacters) {
  EXPECT_EQ(enc('\t', kSyslogFlags), "\\t");
  EXPECT_EQ(enc('\n', kSyslogFlags), "\\n");
  EXPECT_EQ(enc('\a', kSyslogFlags), "\\a");
  EXPECT_EQ(enc('\b', kSyslogFlags), "\\b");
  EXPECT_EQ(enc('\r', kSyslogFlags), "\\r");
  EXPECT_EQ(enc('\v', kSyslogFlags), "\\v");
  EXPECT_EQ(enc('\f', kSyslogFlags), "\\f");
}

TEST(Vis, OtherControlAndHighBytesAreOctalInBothModes) {
  for (int flags : {kStderrFlags, kSyslogFlags}) {
    EXPECT_EQ(enc(0x1b, flags), "\\033");
    EXPECT_EQ(enc(0x01, flags), "\\001");
    EXPECT_EQ(enc(0x06, flags), "\\006");
    EXPECT_EQ(enc(0x0e, flags), "\\016");
    EXPECT_EQ(enc(0x1f, flags), "\\037");
    EXPECT_EQ(enc(0x7f, flags), "\\177");
    EXPECT_EQ(enc(0x80, flags), "\\200");
    EXPECT_EQ(enc(0xe9, flags), "\\351");
    EXPECT_EQ(enc(0xff, flags), "\\377");
    // A plain char holding a high byte is negative; it must encode the same.
    EXPECT_EQ(enc(static_cast<char>(0xe9), flags), "\\351");
  }
}

TEST(Vis, NulInCStyleGrowsBeforeAnOctalDigit) {
  EXPECT_EQ(enc(0, kSyslogFlags, 'a'), "\\0");
  EXPECT_EQ(enc(0, kSyslogFlags, '7'), "\\000");
  EXPECT_EQ(enc(0, kStderrFlags, 'a'), "\\000");
}

TEST(Vis, WithoutOctalUsesMetaAndControlNotation) {
  EXPECT_EQ(enc(0x01, 0), "\\^A");
  EXPECT_EQ(enc(0x7f, 0), "\\^?");
  EXPECT_EQ(enc(0xc1, 0), "\\M-A");
  EXPECT_EQ(enc(0x81, 0), "\\M^A");
}

}  // namespace
