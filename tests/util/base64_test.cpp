// vardek::b64_ntop: RFC 4648 vectors, padding, and the exact target-size rule.
#include "util/base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string b64(const std::string &src, size_t targsize, int *ret) {
  std::string out(targsize + 1, '#');
  *ret = vardek::b64_ntop(reinterpret_cast<const unsigned char *>(src.data()), src.size(),
                          out.data(), targsize);
  return out.c_str();
}

TEST(Base64, Rfc4648Vectors) {
  const char *vectors[][2] = {{"f", "Zg=="},        {"fo", "Zm8="},        {"foo", "Zm9v"},
                              {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
                              {"abc", "YWJj"}};
  for (auto &v : vectors) {
    int r;
    EXPECT_EQ(b64(v[0], 64, &r), v[1]) << v[0];
    EXPECT_EQ(r, static_cast<int>(strlen(v[1])));
  }
}

TEST(Base64, PaddingAndHighBytes) {
  int r;
  EXPECT_EQ(b64(std::string(1, '\0'), 8, &r), "AA==");
  EXPECT_EQ(r, 4);
  EXPECT_EQ(b64("\xff\xff", 8, &r), "//8=");
  EXPECT_EQ(r, 4);
  EXPECT_EQ(b64("\xfb\xff\xbf", 8, &r), "+/+/");
  EXPECT_EQ(r, 4);
}

TEST(Base64, EmptyInput) {
  int r;
  EXPECT_EQ(b64("", 1, &r), "");
  EXPECT_EQ(r, 0);
  b64("", 0, &r);
  EXPECT_EQ(r, -1);
}

TEST(Base64, TargetMustHoldTheNul) {
  int r;
  b64("abc", 4, &r);
  EXPECT_EQ(r, -1);
  EXPECT_EQ(b64("abc", 5, &r), "YWJj");
  EXPECT_EQ(r, 4);
  b64("abcd", 8, &r);
  EXPECT_EQ(r, -1);
  b64("abcd", 6, &r);
  EXPECT_EQ(r, -1);
  EXPECT_EQ(b64("abcd", 9, &r), "YWJjZA==");
  EXPECT_EQ(r, 8);
}

}  // namespace
