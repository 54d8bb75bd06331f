// ssh_signal: the handler runs, the previous one comes back, the mask and
// flags are as promised, and a refused signal gives SIG_ERR.
#include "util/misc.h"

#include <gtest/gtest.h>

namespace {

volatile sig_atomic_t got_signal = 0;

void on_usr1(int signum) { got_signal = signum; }
void on_usr1_other(int) { got_signal = -1; }

TEST(SshSignal, InstallsAndReturnsPrevious) {
  sshsig_t before = ssh_signal(SIGUSR1, on_usr1);
  ASSERT_NE(before, SIG_ERR);
  raise(SIGUSR1);
  EXPECT_EQ(got_signal, SIGUSR1);

  struct sigaction now {};
  ASSERT_EQ(sigaction(SIGUSR1, nullptr, &now), 0);
  EXPECT_EQ(now.sa_flags & (SA_RESTART | SA_SIGINFO | SA_RESETHAND | SA_NODEFER | SA_ONSTACK),
            SA_RESTART);
  EXPECT_EQ(sigismember(&now.sa_mask, SIGTERM), 1);
  EXPECT_EQ(sigismember(&now.sa_mask, SIGUSR2), 1);

  EXPECT_EQ(ssh_signal(SIGUSR1, on_usr1_other), on_usr1);
  EXPECT_EQ(ssh_signal(SIGUSR1, before), on_usr1_other);
}

TEST(SshSignal, RefusedSignalGivesSigErr) {
  EXPECT_EQ(ssh_signal(SIGKILL, on_usr1), SIG_ERR);
  EXPECT_EQ(ssh_signal(0, on_usr1), SIG_ERR);
}

}  // namespace
