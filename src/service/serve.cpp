// The poll loop: moves bytes from standard input into iqueue and from oqueue
// to standard output, and dispatches one request per pass while oqueue has
// room for a worst-case reply.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "log/log.h"
#include "log/ssherr.h"
#include "service/vardek.h"

sshbuf *iqueue = nullptr;
sshbuf *oqueue = nullptr;

// The loop is the body of main(); its fatal messages carry that name.
#define MAIN_FATAL_R(r, what) sshfatal(__FILE__, "main", __LINE__, 1, ssh_err(r), what)

namespace {

// Room in both queues for a full read and a worst-case reply? Returns 0 when
// there is, SSH_ERR_INSUFFICIENT_SPACE when not; ends the process otherwise.
int input_gate(void) {
  int r = sshbuf_check_reserve(iqueue, READ_BUFFER_SIZE);
  if (r == 0) r = sshbuf_check_reserve(oqueue, MAX_MSG_LENGTH);
  if (r != 0 && r != SSH_ERR_INSUFFICIENT_SPACE) MAIN_FATAL_R(r, "reserve");
  return r;
}

int dispatch_gate(void) {
  int r = sshbuf_check_reserve(oqueue, MAX_MSG_LENGTH);
  if (r != 0 && r != SSH_ERR_INSUFFICIENT_SPACE) MAIN_FATAL_R(r, "reserve");
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
  if (r != 0) MAIN_FATAL_R(r, "sshbuf_put");
}

void write_output(void) {
  ssize_t len = write(STDOUT_FILENO, sshbuf_ptr(oqueue), sshbuf_len(oqueue));
  if (len < 0) {
    log_error("write: %s", strerror(errno));
    _exit(1);
  }
  // A short write leaves the rest queued for a later pass.
  int r = sshbuf_consume(oqueue, static_cast<size_t>(len));
  if (r != 0) MAIN_FATAL_R(r, "consume");
}

}  // namespace

void serve_loop(void) {
  unsigned char buf[READ_BUFFER_SIZE];
  struct pollfd pfd[2];

  for (;;) {
    memset(pfd, 0, sizeof(pfd));
    pfd[0].fd = STDIN_FILENO;
    pfd[1].fd = STDOUT_FILENO;

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
