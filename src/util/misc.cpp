// Small process utilities.
#include "util/misc.h"

#include <cerrno>
#include <cstring>

#include "log/log.h"

sshsig_t ssh_signal(int signum, sshsig_t handler) {
  struct sigaction sa {};
  struct sigaction osa {};

  sa.sa_handler = handler;
  sigfillset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  if (sigaction(signum, &sa, &osa) == -1) {
    log_debug3("sigaction(%s): %s", strsignal(signum), strerror(errno));
    return SIG_ERR;
  }
  return osa.sa_handler;
}
