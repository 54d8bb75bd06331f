// The libcrypto version rule: same major version and release status.
#include "service/entropy.h"

#include <gtest/gtest.h>

namespace {

TEST(OpensslVersion, CompatibleWhenMajorAndStatusAgree) {
  EXPECT_TRUE(openssl_version_compatible(0x30100010UL, 0x30100010UL));
  EXPECT_TRUE(openssl_version_compatible(0x30100010UL, 0x30000130UL));  // other minor, patch
  EXPECT_TRUE(openssl_version_compatible(0x30100010UL, 0x3ffffff0UL));
  EXPECT_FALSE(openssl_version_compatible(0x30100010UL, 0x20100010UL));  // other major
  EXPECT_FALSE(openssl_version_compatible(0x30100010UL, 0x3010001fUL));  // release vs. dev
  EXPECT_FALSE(openssl_version_compatible(0x30100010UL, 0x30100011UL));
}

}  // namespace
