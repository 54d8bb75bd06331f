// recallocarray: when a block stays and when it moves, zeroing of new and
// given-up elements, wiping of released blocks, and the overflow failures.
#include "util/recallocarray.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "free_watch.h"

extern "C" void __wrap_free(void *ptr) {
  if (ptr != nullptr && ptr == watched_block) {
    watched_frees++;
    watched_was_zero = all_zero(ptr, watched_size);
    watched_block = nullptr;
  }
  __real_free(ptr);
}

namespace {

TEST(Recallocarray, NoArrayGivesZeroedAllocation) {
  auto *p = static_cast<unsigned char *>(recallocarray(nullptr, 0, 3, 8));
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(all_zero(p, 24));
  free(p);
}

TEST(Recallocarray, SmallShrinkStaysAndZeroesTail) {
  unsigned char *p = filled(4096, 0xa5);
  watch(p, 4096);
  auto *q = static_cast<unsigned char *>(recallocarray(p, 4096, 4000, 1));
  ASSERT_EQ(q, p);
  EXPECT_EQ(watched_frees, 0);
  for (size_t i = 0; i < 4000; i++) ASSERT_EQ(q[i], 0xa5) << i;
  EXPECT_TRUE(all_zero(q + 4000, 96));
  watch(nullptr, 0);
  free(q);
}

TEST(Recallocarray, LargeShrinkMovesAndWipesOldBlock) {
  unsigned char *p = filled(4096, 0x5a);
  watch(p, 4096);
  auto *q = static_cast<unsigned char *>(recallocarray(p, 4096, 256, 1));
  ASSERT_NE(q, nullptr);
  EXPECT_NE(q, p);
  EXPECT_EQ(watched_frees, 1);
  EXPECT_TRUE(watched_was_zero);
  for (size_t i = 0; i < 256; i++) ASSERT_EQ(q[i], 0x5a) << i;
  free(q);
}

TEST(Recallocarray, ShrinkByHalfOrMoreMoves) {
  // Giving up exactly half is not "less than half": the block moves.
  unsigned char *p = filled(64, 1);
  watch(p, 64);
  void *q = recallocarray(p, 8, 4, 8);
  EXPECT_NE(q, p);
  EXPECT_EQ(watched_frees, 1);
  EXPECT_TRUE(watched_was_zero);
  free(q);
  // One element less out of three stays.
  p = filled(24, 1);
  q = recallocarray(p, 3, 2, 8);
  EXPECT_EQ(q, p);
  free(q);
}

TEST(Recallocarray, ShrinkOfAPageOrMoreMovesEvenIfUnderHalf) {
  size_t page = static_cast<size_t>(getpagesize());
  unsigned char *p = filled(4 * page, 7);
  watch(p, 4 * page);
  void *q = recallocarray(p, 4 * page, 3 * page, 1);
  EXPECT_NE(q, p);
  EXPECT_TRUE(watched_was_zero);
  free(q);
  p = filled(4 * page, 7);
  q = recallocarray(p, 4 * page, 3 * page + 1, 1);
  EXPECT_EQ(q, p);
  free(q);
}

TEST(Recallocarray, SameSizeStays) {
  unsigned char *p = filled(100, 9);
  EXPECT_EQ(recallocarray(p, 100, 100, 1), p);
  EXPECT_EQ(p[99], 9);
  free(p);
}

TEST(Recallocarray, GrowthCopiesZeroesAndWipesOld) {
  unsigned char *p = filled(256, 0xc3);
  watch(p, 256);
  auto *q = static_cast<unsigned char *>(recallocarray(p, 32, 64, 8));
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(watched_frees, 1);
  EXPECT_TRUE(watched_was_zero);
  for (size_t i = 0; i < 256; i++) ASSERT_EQ(q[i], 0xc3) << i;
  EXPECT_TRUE(all_zero(q + 256, 256));
  free(q);
}

TEST(Recallocarray, OverflowFailsAndLeavesArrayAlone) {
  unsigned char *p = filled(16, 0x11);
  errno = 0;
  EXPECT_EQ(recallocarray(p, 2, SIZE_MAX / 4, 8), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  errno = 0;
  EXPECT_EQ(recallocarray(p, SIZE_MAX / 4, 2, 8), nullptr);
  EXPECT_EQ(errno, EINVAL);
  for (size_t i = 0; i < 16; i++) ASSERT_EQ(p[i], 0x11);
  free(p);
}

}  // namespace
