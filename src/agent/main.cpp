// vardek-agent: an SSH agent that serves the keys of PKCS#11 tokens through
// a vardek child process.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "agent/log.h"
#include "agent/options.h"
#include "agent/server.h"
#include "agent/socket.h"
#include "agent/supervisor.h"

namespace {

int stop_pipe[2] = {-1, -1};

void on_stop_signal(int) {
  int saved = errno;
  char c = 0;
  // The pipe is non-blocking; one byte is enough to stop the loop.
  ssize_t ignored = write(stop_pipe[1], &c, 1);
  (void)ignored;
  errno = saved;
}

bool install_signals() {
  if (pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGTERM, SIGINT, SIGHUP})
    if (sigaction(sig, &sa, nullptr) != 0) return false;
  // A client that goes away while its answer is written must not end the
  // agent.
  return signal(SIGPIPE, SIG_IGN) != SIG_ERR;
}

// Forks; the parent prints the shell lines for the child and exits. The
// child leaves the terminal and its session.
void detach(const std::string &path, int verbose) {
  (void)fflush(stdout);
  pid_t pid = fork();
  if (pid < 0) {
    perror("vardek-agent: fork");
    exit(1);
  }
  if (pid > 0) {
    (void)printf("SSH_AUTH_SOCK=%s; export SSH_AUTH_SOCK;\n", path.c_str());
    (void)printf("SSH_AGENT_PID=%d; export SSH_AGENT_PID;\n", static_cast<int>(pid));
    (void)printf("echo Agent pid %d;\n", static_cast<int>(pid));
    (void)fflush(stdout);
    _exit(0);
  }
  setsid();
  if (chdir("/") != 0) {
    // Staying where it was started only keeps that directory busy.
  }
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, 0);
    dup2(null, 1);
    if (verbose == 0) dup2(null, 2);
    if (null > 2) close(null);
  }
}

}  // namespace

int main(int argc, char **argv) {
  using namespace vardek::agent;
  std::string why;
  std::optional<Options> opts = parse_options(argc, argv, why);
  if (!opts) {
    if (!why.empty()) (void)fprintf(stderr, "vardek-agent: %s\n", why.c_str());
    (void)fputs(usage_text, stderr);
    return why.empty() ? 0 : 1;
  }
  if (!install_signals()) {
    perror("vardek-agent: signals");
    return 1;
  }
  std::optional<Listener> listener = listen_socket(opts->socket_path, why);
  if (!listener) {
    (void)fprintf(stderr, "vardek-agent: %s\n", why.c_str());
    return 1;
  }
  if (!opts->foreground) detach(listener->path, opts->verbose);
  log_init(opts->verbose);
  log_msg(LOG_INFO, "listening on %s (pid %d)", listener->path.c_str(), static_cast<int>(getpid()));

  int rc;
  {
    Supervisor vardek(opts->vardek, opts->verbose);
    Server server(listener->fd, stop_pipe[0], vardek);
    rc = server.run();
    vardek.stop();
  }
  remove_listener(*listener);
  log_msg(LOG_INFO, "stopped");
  close(stop_pipe[0]);
  close(stop_pipe[1]);
  return rc;
}
