// A broken buffer invariant is never an error code: the process dies by
// SIGSEGV, whatever SIGSEGV handling was in place before.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>

#include "buffer/sshbuf-ptr.h"
#include "buffer/sshbuf.h"
#include "common/bytes.h"
#include "sshbuf_test_util.h"

using vardek::test::buf_ptr;
using vardek::test::buf_with;
using vardek::test::Bytes;

namespace {

const auto kSegv = testing::KilledBySignal(SIGSEGV);

// A copy of a healthy buffer's record, to be broken one field at a time.
struct record_copy {
  record_copy() : owner(buf_with("01 02 03 04"_hex)), rec(*owner) {}
  buf_ptr owner;
  sshbuf rec;
};

void exit_zero_on_segv(int) { _exit(0); }

}  // namespace

TEST(SshbufInvariantDeathTest, HealthyCopyPasses) {
  record_copy c;
  EXPECT_EQ(sshbuf_len(&c.rec), 4u);
  c.rec.refcount = SSHBUF_REFS_MAX;
  EXPECT_EQ(sshbuf_len(&c.rec), 4u);
}

TEST(SshbufInvariantDeathTest, EachBrokenFieldKills) {
  record_copy c;
  EXPECT_EXIT(sshbuf_len(nullptr), kSegv, "");
  EXPECT_EXIT(
      {
        c.rec.cdata = c.rec.data + 1;
        (void)sshbuf_len(&c.rec);
      },
      kSegv, "");
  EXPECT_EXIT(
      {
        c.rec.refcount = 0;
        (void)sshbuf_len(&c.rec);
      },
      kSegv, "");
  EXPECT_EXIT(
      {
        c.rec.refcount = SSHBUF_REFS_MAX + 1;
        (void)sshbuf_len(&c.rec);
      },
      kSegv, "");
  EXPECT_EXIT(
      {
        c.rec.readonly = 1;
        c.rec.data = nullptr;
        c.rec.cdata = nullptr;
        (void)sshbuf_len(&c.rec);
      },
      kSegv, "");
  EXPECT_EXIT(
      {
        c.rec.max_size = SSHBUF_SIZE_MAX + 1;
        (void)sshbuf_len(&c.rec);
      },
      kSegv, "");
  EXPECT_EXIT(
      {
        c.rec.max_size = 255;
        (void)sshbuf_len(&c.rec);
      },
      kSegv, "");
  EXPECT_EXIT(
      {
        c.rec.size = c.rec.alloc + 1;
        (void)sshbuf_len(&c.rec);
      },
      kSegv, "");
  EXPECT_EXIT(
      {
        c.rec.off = c.rec.size + 1;
        (void)sshbuf_len(&c.rec);
      },
      kSegv, "");
}

TEST(SshbufInvariantDeathTest, MissingBufferKillsEveryOperation) {
  buf_ptr ok = buf_with("00 00 00 00"_hex);
  unsigned char *p;
  uint32_t v;
  EXPECT_EXIT(sshbuf_ptr(nullptr), kSegv, "");
  EXPECT_EXIT(sshbuf_reset(nullptr), kSegv, "");
  EXPECT_EXIT((void)sshbuf_consume(nullptr, 0), kSegv, "");
  EXPECT_EXIT((void)sshbuf_check_reserve(nullptr, 0), kSegv, "");
  EXPECT_EXIT((void)sshbuf_reserve(nullptr, 1, &p), kSegv, "");
  EXPECT_EXIT((void)sshbuf_put(nullptr, "x", 1), kSegv, "");
  EXPECT_EXIT((void)sshbuf_putb(nullptr, ok.get()), kSegv, "");
  EXPECT_EXIT((void)sshbuf_putb(nullptr, nullptr), kSegv, "");
  EXPECT_EXIT((void)sshbuf_get_u32(nullptr, &v), kSegv, "");
  EXPECT_EXIT((void)sshbuf_peek_string_direct(nullptr, nullptr, nullptr), kSegv, "");
  EXPECT_EXIT((void)sshbuf_put_string(nullptr, "x", 1), kSegv, "");
  EXPECT_EXIT((void)sshbuf_get_stringb(ok.get(), nullptr), kSegv, "");
}

TEST(SshbufInvariantDeathTest, BrokenReadOnlyViewKillsOnWriteAndFree) {
  const Bytes blob = "00"_hex;
  buf_ptr v(sshbuf_from(blob.data(), blob.size()));
  EXPECT_EXIT(
      {
        v->size = v->alloc + 1;
        (void)sshbuf_put_u8(v.get(), 1);
      },
      kSegv, "");
  EXPECT_EXIT(
      {
        v->refcount = 0;
        sshbuf_free(v.get());
      },
      kSegv, "");
}

TEST(SshbufInvariantDeathTest, InstalledHandlerOrBlockedSignalDoNotSave) {
  record_copy c;
  c.rec.off = c.rec.size + 1;
  EXPECT_EXIT(
      {
        std::signal(SIGSEGV, exit_zero_on_segv);
        (void)sshbuf_len(&c.rec);
      },
      kSegv, "");
  EXPECT_EXIT(
      {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGSEGV);
        sigprocmask(SIG_BLOCK, &set, nullptr);
        (void)sshbuf_len(&c.rec);
      },
      kSegv, "");
}
