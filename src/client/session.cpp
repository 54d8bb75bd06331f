#include "client/session.h"

#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "client/p11names.h"
#include "client/progress.h"

namespace vardek::client {

namespace {

// How long a reply may take once its first byte has arrived.
constexpr int frame_timeout_ms = 30000;
// How long vardek may take to end once its input is closed.
constexpr int exit_timeout_ms = 5000;

}  // namespace

Session::Session(std::string vardek, int verbose) : path_(std::move(vardek)), verbose_(verbose) {}

bool Session::start(std::string &why) {
  if (access(path_.c_str(), X_OK) != 0) {
    why = "cannot run " + path_ + ": " + strerror(errno);
    return false;
  }
  std::vector<std::string> argv{path_};
  // vardek logs to standard error only with -v, and its debug1 lines say
  // which token each login failure belongs to: the client always asks for
  // them and shows them only when it was given -v itself.
  for (int i = 0; i < (verbose_ > 0 ? verbose_ : 1) && i < 3; i++) argv.emplace_back("-v");
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    why = std::string("cannot make a pipe: ") + strerror(errno);
    return false;
  }
  bool started = child_.start(argv, fds[1]);
  int saved = errno;
  close(fds[1]);
  if (!started) {
    close(fds[0]);
    why = "cannot start " + path_ + ": " + strerror(saved);
    return false;
  }
  err_ = fds[0];
  (void)fcntl(err_, F_SETFL, O_NONBLOCK);
  alive_ = true;
  return true;
}

Session::~Session() {
  if (err_ >= 0) close(err_);
}

void Session::take_line(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (verbose_ > 0 && (verbose_ > 1 || !is_refcount_line(line)))
    (void)fprintf(stderr, "%s\n", annotate_log_line(line).c_str());
  log_.push_back(std::move(line));
}

void Session::drain(bool until_eof) {
  if (err_ < 0) return;
  char buf[4096];
  for (;;) {
    ssize_t n = read(err_, buf, sizeof buf);
    if (n > 0) {
      partial_.append(buf, static_cast<size_t>(n));
      for (size_t nl; (nl = partial_.find('\n')) != std::string::npos;) {
        take_line(partial_.substr(0, nl));
        partial_.erase(0, nl + 1);
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN && until_eof) {
      pollfd p = {err_, POLLIN, 0};
      if (poll(&p, 1, exit_timeout_ms) > 0) continue;
    }
    if (n == 0) {
      if (!partial_.empty()) take_line(std::move(partial_));
      partial_.clear();
      close(err_);
      err_ = -1;
    }
    return;
  }
}

std::string Session::log_excerpt(size_t from) const {
  std::string s;
  for (size_t i = from; i < log_.size(); i++)
    if (!is_refcount_line(log_[i])) s += "  " + annotate_log_line(log_[i]) + "\n";
  return s;
}

std::optional<agent::Reply> Session::exchange(agent::Bytes &request, const char *what) {
  if (!alive_) return std::nullopt;
  bool sent = child_.send(request);
  agent::wipe(request);
  if (!sent) return std::nullopt;
  {
    Progress progress(verbose_ == 0, what);
    while (!child_.readable(50)) {
      drain();
      progress.tick();
    }
  }
  auto reply = child_.recv(frame_timeout_ms);
  // vardek logs before it answers: its lines about this request are in the
  // pipe by now.
  drain();
  return reply;
}

std::string Session::ended() {
  alive_ = false;
  child_.close_input();
  drain(true);
  int st = child_.wait(exit_timeout_ms);
  std::string s;
  if (st == -1) {
    s = "vardek stopped answering";
  } else if (WIFEXITED(st)) {
    s = "vardek ended with status " + std::to_string(WEXITSTATUS(st));
    if (WEXITSTATUS(st) == 127) s += " (it could not be started)";
  } else if (WIFSIGNALED(st)) {
    s = "vardek was killed by signal " + std::to_string(WTERMSIG(st)) + " (" +
        strsignal(WTERMSIG(st)) + ")";
  } else {
    s = "vardek ended";
  }
  if (verbose_ == 0) {
    std::string said = log_excerpt(0);
    s += said.empty() ? "; run with -v to see its log" : "; it logged:\n" + said;
    while (!s.empty() && s.back() == '\n') s.pop_back();
  }
  return s;
}

AddResult Session::add(const std::string &provider, const Secret &pin) {
  AddResult res;
  agent::Bytes req = agent::add_request(provider, pin.view());
  auto reply = exchange(req, "loading the token");
  if (!reply) {
    res.detail = ended();
    return res;
  }
  if (auto ids = agent::parse_identities(*reply)) {
    res.kind = AddResult::Kind::keys;
    res.ids = std::move(*ids);
  } else if (auto reason = agent::parse_add_failure(*reply)) {
    res.kind = AddResult::Kind::refused;
    res.reason = *reason;
  } else {
    res.detail = "vardek gave a malformed answer (message type " + std::to_string(reply->type) +
                 ") to the add request";
  }
  return res;
}

SignResult Session::sign(const agent::Bytes &blob, const agent::Bytes &data) {
  SignResult res;
  agent::Bytes req = agent::sign_request(blob, data);
  auto reply = exchange(req, "signing on the token");
  if (!reply) {
    res.detail = ended();
    return res;
  }
  if (auto sig = agent::parse_signature(*reply)) {
    res.kind = SignResult::Kind::signature;
    res.signature = std::move(*sig);
  } else if (reply->type == agent::AGENT_SIGN_FAILURE && reply->body.empty()) {
    res.kind = SignResult::Kind::refused;
  } else {
    res.detail = "vardek gave a malformed answer (message type " + std::to_string(reply->type) +
                 ") to the sign request";
  }
  return res;
}

bool Session::remove(const std::string &provider) {
  agent::Bytes req = agent::remove_request(provider);
  auto reply = exchange(req, "removing the provider");
  return reply && reply->type == agent::AGENT_SUCCESS && reply->body.empty();
}

void Session::finish() {
  if (!alive_) return;
  alive_ = false;
  child_.close_input();
  drain(true);
  child_.wait(exit_timeout_ms);
}

}  // namespace vardek::client
