// The poll loop: moves bytes from standard input into iqueue and from oqueue
// to the agent's reply pipe, and dispatches one request per pass while
// oqueue has room for a worst-case reply.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "log/log.h"
#include "log/ssherr.h"
#include "service/vardek.h"

sshbuf *iqueue = nullptr;
sshbuf *oqueue = nullptr;

namespace {

// Where replies go: standard output until reserve_protocol_output() moves
// the protocol to a private descriptor.
int protocol_fd = STDOUT_FILENO;

}  // namespace

void reserve_protocol_output(void) {
  // Provider modules print debug output to descriptor 1 or through stdio;
  // in the reply stream those bytes would corrupt every frame after them.
  // The protocol keeps a private duplicate (above the standard three, closed
  // on exec) and descriptor 1 becomes standard error.
  int fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (fd == -1) {
    log_error("dup: %s", strerror(errno));
    return;  // replies keep going to descriptor 1
  }
  if (dup2(STDERR_FILENO, STDOUT_FILENO) == -1) {
    // No standard error to point at: such output is dropped instead.
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd == -1 || dup2(null_fd, STDOUT_FILENO) == -1) {
      log_error("redirect standard output: %s", strerror(errno));
      if (null_fd != -1) close(null_fd);
      close(fd);
      return;
    }
    close(null_fd);
  }
  protocol_fd = fd;
}

namespace {

// The loop is the body of main(): its fatal messages carry that name.
[[noreturn]] void main_fatal(int r, const char *what) {
  fatal_as("main", {.show_func = true, .suffix = ssh_err(r)}, "%s", what);
}

// Room in both queues for a full read and a worst-case reply? Returns 0 when
// there is, SSH_ERR_INSUFFICIENT_SPACE when not; ends the process otherwise.
int input_gate(void) {
  int r = sshbuf_check_reserve(iqueue, READ_BUFFER_SIZE);
  if (r == 0) r = sshbuf_check_reserve(oqueue, MAX_MSG_LENGTH);
  if (r != 0 && r != SSH_ERR_INSUFFICIENT_SPACE) main_fatal(r, "reserve");
  return r;
}

int dispatch_gate(void) {
  int r = sshbuf_check_reserve(oqueue, MAX_MSG_LENGTH);
  if (r != 0 && r != SSH_ERR_INSUFFICIENT_SPACE) main_fatal(r, "reserve");
  return r;
}

void read_input(unsigned char *buf) {
  ssize_t len = read(STDIN_FILENO, buf, READ_BUFFER_SIZE);
  if (len == 0) {
    // The agent closed the pipe: the normal end, replies still queued or not.
    log_debug1("read eof");
    _exit(0);
  }
  if (len < 0) {
    log_error("read: %s", strerror(errno));
    _exit(1);
  }
  int r = sshbuf_put(iqueue, buf, static_cast<size_t>(len));
  if (r != 0) main_fatal(r, "sshbuf_put");
}

void write_output(void) {
  // poll() promises room for PIPE_BUF bytes on a pipe, no more: a larger
  // write would block until the agent reads, and an agent that is itself
  // blocked writing requests to us would never read again.
  size_t n = std::min(sshbuf_len(oqueue), static_cast<size_t>(PIPE_BUF));
  ssize_t len = write(protocol_fd, sshbuf_ptr(oqueue), n);
  if (len < 0) {
    log_error("write: %s", strerror(errno));
    _exit(1);
  }
  // A short write leaves the rest queued for a later pass.
  int r = sshbuf_consume(oqueue, static_cast<size_t>(len));
  if (r != 0) main_fatal(r, "consume");
}

}  // namespace

void serve_loop(void) {
  unsigned char buf[READ_BUFFER_SIZE];
  struct pollfd pfd[2];

  for (;;) {
    memset(pfd, 0, sizeof(pfd));
    pfd[0].fd = STDIN_FILENO;
    pfd[1].fd = protocol_fd;

    // Backpressure: stop reading while either queue lacks room.
    if (input_gate() == 0) pfd[0].events = POLLIN;
    if (sshbuf_len(oqueue) > 0) pfd[1].events = POLLOUT;

    // A frame already queued must not wait for the next I/O event: a
    // request that gets no reply (an unknown type) would otherwise leave
    // the requests behind it stranded until the agent writes again. Poll
    // without blocking then, and dispatch even when nothing is ready.
    int dispatch_now = frame_pending() && dispatch_gate() == 0;
    int n = poll(pfd, 2, dispatch_now ? 0 : -1);
    if (n == -1 && errno == EINTR) continue;
    if (n == -1) log_fatal("poll: %s", strerror(errno));
    if (n == 0 && !dispatch_now) continue;

    if ((pfd[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) read_input(buf);
    if ((pfd[1].revents & (POLLOUT | POLLHUP)) != 0) write_output();

    if (dispatch_gate() == 0) process();
  }
}
