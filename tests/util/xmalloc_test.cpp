// The checked allocators: results, and the fatal line and status for each way
// they refuse.
#include "util/xmalloc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using ::testing::ExitedWithCode;

TEST(Xmalloc, ReturnsUsableMemory) {
  auto *p = static_cast<unsigned char *>(xcalloc(3, 8));
  for (int i = 0; i < 24; i++) EXPECT_EQ(p[i], 0);
  free(p);
  p = static_cast<unsigned char *>(xmalloc(5));
  memcpy(p, "abcde", 5);
  free(p);
}

TEST(Xmalloc, XstrdupCopies) {
  char *e = xstrdup("");
  EXPECT_STREQ(e, "");
  free(e);
  const char *src = "pkcs11:token=x";
  char *c = xstrdup(src);
  EXPECT_NE(c, src);
  EXPECT_STREQ(c, src);
  free(c);
}

TEST(Xmalloc, XrecallocarrayGrowsWithZeroes) {
  auto *p = static_cast<uint64_t *>(xrecallocarray(nullptr, 0, 1, 8));
  p[0] = 42;
  p = static_cast<uint64_t *>(xrecallocarray(p, 1, 2, 8));
  EXPECT_EQ(p[0], 42u);
  EXPECT_EQ(p[1], 0u);
  free(p);
}

using XmallocDeathTest = ::testing::Test;

TEST_F(XmallocDeathTest, ZeroSizes) {
  EXPECT_EXIT(xmalloc(0), ExitedWithCode(255), "^xmalloc: zero size\r\n$");
  EXPECT_EXIT(xcalloc(0, 8), ExitedWithCode(255), "^xcalloc: zero size\r\n$");
  EXPECT_EXIT(xcalloc(8, 0), ExitedWithCode(255), "^xcalloc: zero size\r\n$");
}

TEST_F(XmallocDeathTest, CallocProductOverflow) {
  EXPECT_EXIT(xcalloc(size_t{1} << 33, size_t{1} << 31), ExitedWithCode(255),
              "^xcalloc: nmemb \\* size > SIZE_MAX\r\n$");
}

TEST_F(XmallocDeathTest, RecallocarrayFailureNamesCountAndSize) {
  void *p = malloc(16);
  EXPECT_EXIT(xrecallocarray(p, 2, SIZE_MAX / 4, 8), ExitedWithCode(255),
              "^xrecallocarray: out of memory \\(4611686018427387903 elements of 8 bytes\\)\r\n$");
  free(p);
}

TEST_F(XmallocDeathTest, OutOfMemory) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer aborts on impossible allocations itself";
#else
  EXPECT_EXIT(xmalloc(SIZE_MAX - 4096), ExitedWithCode(255),
              "^xmalloc: out of memory \\(allocating 18446744073709547519 bytes\\)\r\n$");
  EXPECT_EXIT(xcalloc(size_t{1} << 31, size_t{1} << 31), ExitedWithCode(255),
              "^xcalloc: out of memory \\(allocating 4611686018427387904 bytes\\)\r\n$");
#endif
}

}  // namespace
