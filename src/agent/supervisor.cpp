#include "agent/supervisor.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "agent/log.h"

namespace vardek::agent {

namespace {

// The largest reply vardek sends (as the client library accepts).
constexpr uint32_t max_reply = 16 * 1024 * 1024;

bool set_nonblocking(int fd) {
  int fl = fcntl(fd, F_GETFL);
  return fl >= 0 && fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0;
}

}  // namespace

Supervisor::~Supervisor() { wipe(out_); }

bool Supervisor::send(Bytes frame) {
  if (!child_) {
    auto c = std::make_unique<Child>();
    std::vector<std::string> argv{program_};
    if (verbose_ > 0) argv.emplace_back("-v");
    if (!c->start(argv) || !set_nonblocking(c->input_fd()) || !set_nonblocking(c->output_fd())) {
      log_msg(LOG_ERR, "cannot start vardek %s: %s", program_.c_str(), strerror(errno));
      wipe(frame);
      return false;
    }
    log_msg(LOG_INFO, "started vardek (pid %d)", static_cast<int>(c->pid()));
    child_ = std::move(c);
  }
  wipe(out_);
  out_ = std::move(frame);
  out_done_ = 0;
  in_.clear();
  return true;
}

int Supervisor::read_fd() const { return child_ ? child_->output_fd() : -1; }

int Supervisor::write_fd() const {
  return child_ && out_done_ < out_.size() ? child_->input_fd() : -1;
}

Supervisor::Event Supervisor::on_writable() {
  while (out_done_ < out_.size()) {
    ssize_t n = write(child_->input_fd(), out_.data() + out_done_, out_.size() - out_done_);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return Event::none;
    if (n <= 0) return died("its input closed");
    out_done_ += static_cast<size_t>(n);
  }
  wipe(out_);
  out_done_ = 0;
  return Event::none;
}

Supervisor::Event Supervisor::on_readable(Reply &reply) {
  for (;;) {
    uint8_t buf[4096];
    ssize_t n = read(child_->output_fd(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return Event::none;
    if (n <= 0) return died("end of its output");
    in_.insert(in_.end(), buf, buf + n);
    if (in_.size() < 4) continue;
    uint32_t len;
    Reader(in_.data(), 4).u32(len);
    if (len == 0 || len > max_reply) return died("a malformed reply");
    if (in_.size() < 4 + size_t{len}) continue;
    if (in_.size() > 4 + size_t{len}) return died("output nobody asked for");
    reply.type = in_[4];
    reply.body.assign(in_.begin() + 5, in_.end());
    in_.clear();
    return Event::reply;
  }
}

Supervisor::Event Supervisor::died(const char *why) {
  pid_t pid = child_->pid();
  // It is gone or broken: give it a moment to exit by itself so its status
  // tells what happened, then make sure.
  int status = child_->wait(200);
  if (status == -1)
    log_msg(LOG_ERR, "vardek (pid %d) stopped answering (%s) and was killed", static_cast<int>(pid),
            why);
  else if (WIFSIGNALED(status))
    log_msg(LOG_ERR, "vardek (pid %d) was killed by signal %d (%s)", static_cast<int>(pid),
            WTERMSIG(status), why);
  else
    log_msg(LOG_ERR, "vardek (pid %d) exited with status %d (%s)", static_cast<int>(pid),
            WEXITSTATUS(status), why);
  child_.reset();
  wipe(out_);
  out_done_ = 0;
  in_.clear();
  return Event::died;
}

void Supervisor::stop() {
  if (!child_) return;
  child_->close_input();
  child_->wait(5000);
  child_.reset();
}

}  // namespace vardek::agent
