// util/wipe.h: what free() gets back has been wiped whole, inline bytes are
// zero once their holder is gone, and a scope_exit runs exactly once, at the
// end of its scope, on every way out.
#include "util/wipe.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>

#include "free_watch.h"

namespace {

TEST(Wipe, HeapBytesAreWipedBeforeFreeByResetAndByTheEndOfScope) {
  {
    vardek::wiped_bytes<> b;
    b.p = filled(100, 0xa5);
    b.len = 100;
    watch(b.p, 100);
    b.reset();
    EXPECT_EQ(watched_frees, 1);
    EXPECT_TRUE(watched_was_zero);
    EXPECT_EQ(b.p, nullptr);
    EXPECT_EQ(b.len, 0u);

    b.p = filled(4096, 0x5a);
    b.len = 4096;
    watch(b.p, 4096);
  }
  EXPECT_EQ(watched_frees, 1);
  EXPECT_TRUE(watched_was_zero);
}

TEST(Wipe, TextIsWipedWithItsNulBeforeFree) {
  char *pin = strdup("123456");
  watch(pin, 7);
  vardek::clear_free_text(pin);
  EXPECT_EQ(watched_frees, 1);
  EXPECT_TRUE(watched_was_zero);
  watch(nullptr, 0);
  vardek::clear_free_text(nullptr);  // null is fine
}

TEST(Wipe, InlineBytesStartZeroAndAreZeroAfterTheirHolder) {
  using digest = vardek::wiped_bytes<32>;
  static_assert(digest::len == 32);
  alignas(digest) unsigned char storage[sizeof(digest)];
  std::memset(storage, 0xee, sizeof(storage));
  auto *d = new (storage) digest;
  EXPECT_TRUE(all_zero(d->p, digest::len));
  std::memset(d->p, 0x3c, digest::len);
  d->~digest();
  EXPECT_TRUE(all_zero(storage, digest::len));
}

TEST(Wipe, ScopeExitRunsOnceWhenItsScopeEndsOnEveryWayOut) {
  int runs = 0;
  auto leave = [&runs](int how) {
    vardek::scope_exit count([&runs] { runs++; });
    EXPECT_EQ(runs, 0) << "ran before its scope ended";
    if (how == 1) return 1;
    if (how == 2) throw how;
    return 0;
  };
  for (int how : {0, 1, 2}) {
    runs = 0;
    try {
      leave(how);
    } catch (int) {
    }
    EXPECT_EQ(runs, 1) << "way out " << how;
  }
}

}  // namespace
