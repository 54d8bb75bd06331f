#ifndef VARDEK_UTIL_MISC_H
#define VARDEK_UTIL_MISC_H

#include <csignal>

typedef void (*sshsig_t)(int);

// Installs `handler` for `signum` with every signal blocked while it runs and
// SA_RESTART. Returns the previous handler, or SIG_ERR.
sshsig_t ssh_signal(int signum, sshsig_t handler);

#endif
