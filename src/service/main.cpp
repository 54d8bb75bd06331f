// vardek: serves an SSH agent's PKCS#11 requests over standard input and
// output. Start-up happens here, in a fixed order; then the loop runs until
// the agent closes our standard input.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "buffer/sshbuf.h"
#include "log/log.h"
#include "pkcs11/ssh-pkcs11.h"
#include "service/entropy.h"
#include "service/getopt_long.h"
#include "service/key_list.h"
#include "service/vardek.h"

extern "C" {
// glibc's name for the program's own name; no other spelling reaches it.
extern char *__progname;  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
}

int main(int argc, char **argv) {
  // Our own copy of the short program name: log identity and usage line.
  char *progname = strdup(__progname);
  if (progname == nullptr) {
    perror("strdup");
    exit(1);
  }

  seed_rng();
  key_list_init();

  log_init_handler(progname, SSHLOG_ERROR, 0);

  int log_level = SSHLOG_ERROR;
  int log_stderr = 0;
  vardek::getopt_state opts = vardek::getopt_state_init();
  int ch;
  while ((ch = vardek::getopt_internal(&opts, argc, argv, "v")) != -1) {
    switch (ch) {
      case 'v':
        // The first -v goes straight to debug1, each further one a level up.
        log_stderr = 1;
        if (log_level == SSHLOG_ERROR)
          log_level = SSHLOG_DEBUG1;
        else if (log_level < SSHLOG_DEBUG3)
          log_level++;
        break;
      default:
        (void)fprintf(stderr, "usage: %s [-v]\n", progname);
        exit(1);
    }
  }
  // Operands are not used.

  log_init_handler(progname, log_level, log_stderr);

  reserve_protocol_output();
  pkcs11_init(0);

  if ((iqueue = sshbuf_new()) == nullptr || (oqueue = sshbuf_new()) == nullptr)
    log_fatal_f("sshbuf_new failed");

  serve_loop();
}
