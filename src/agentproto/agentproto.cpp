#include "agentproto/agentproto.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vardek::agent {

void put_u32(Bytes &b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v >> 24));
  b.push_back(static_cast<uint8_t>(v >> 16));
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}

void put_string(Bytes &b, const void *p, size_t n) {
  put_u32(b, static_cast<uint32_t>(n));
  const auto *c = static_cast<const uint8_t *>(p);
  b.insert(b.end(), c, c + n);
}

bool Reader::u8(uint8_t &v) {
  if (n_ < 1) return false;
  v = *p_++;
  n_--;
  return true;
}

bool Reader::u32(uint32_t &v) {
  if (n_ < 4) return false;
  v = (uint32_t{p_[0]} << 24) | (uint32_t{p_[1]} << 16) | (uint32_t{p_[2]} << 8) | p_[3];
  p_ += 4;
  n_ -= 4;
  return true;
}

bool Reader::string(Bytes &v) {
  uint32_t len;
  Reader save = *this;
  if (!u32(len) || len > n_) {
    *this = save;
    return false;
  }
  v.assign(p_, p_ + len);
  p_ += len;
  n_ -= len;
  return true;
}

bool Reader::string(std::string &v) {
  Bytes b;
  if (!string(b)) return false;
  v.assign(b.begin(), b.end());
  return true;
}

Bytes frame(const Bytes &body) {
  Bytes f;
  put_u32(f, static_cast<uint32_t>(body.size()));
  f.insert(f.end(), body.begin(), body.end());
  return f;
}

void wipe(Bytes &b) {
  if (!b.empty()) explicit_bzero(b.data(), b.size());
  b.clear();
}

namespace {

// An add or remove request, built in one allocation of its final size, so
// the PIN is never left behind in a released buffer.
Bytes provider_request(uint8_t type, std::string_view provider, std::string_view pin) {
  Bytes f;
  size_t body = 1 + 4 + provider.size() + 4 + pin.size();
  f.reserve(4 + body);
  put_u32(f, static_cast<uint32_t>(body));
  f.push_back(type);
  put_string(f, provider);
  put_string(f, pin);
  return f;
}

}  // namespace

Bytes add_request(std::string_view provider, std::string_view pin) {
  return provider_request(AGENTC_ADD_SMARTCARD_KEY, provider, pin);
}

Bytes remove_request(std::string_view provider, std::string_view pin) {
  return provider_request(AGENTC_REMOVE_SMARTCARD_KEY, provider, pin);
}

Bytes sign_request(const Bytes &key_blob, const Bytes &data, uint32_t flags) {
  Bytes b{AGENTC_SIGN_REQUEST};
  put_string(b, key_blob);
  put_string(b, data);
  put_u32(b, flags);
  return frame(b);
}

std::optional<std::vector<Identity>> parse_identities(const Reply &r) {
  if (r.type != AGENT_IDENTITIES_ANSWER) return std::nullopt;
  Reader rd(r.body);
  uint32_t n;
  if (!rd.u32(n)) return std::nullopt;
  std::vector<Identity> ids;
  for (uint32_t i = 0; i < n; i++) {
    Identity id;
    if (!rd.string(id.blob) || !rd.string(id.label)) return std::nullopt;
    ids.push_back(std::move(id));
  }
  if (rd.left() != 0) return std::nullopt;
  return ids;
}

std::optional<uint32_t> parse_add_failure(const Reply &r) {
  Reader rd(r.body);
  uint32_t reason;
  if (r.type != AGENT_FAILURE || !rd.u32(reason) || rd.left() != 0) return std::nullopt;
  return reason;
}

std::optional<Bytes> parse_signature(const Reply &r) {
  Reader rd(r.body);
  Bytes sig;
  if (r.type != AGENT_SIGN_RESPONSE || !rd.string(sig) || rd.left() != 0) return std::nullopt;
  return sig;
}

Child::~Child() {
  close_input();
  if (out_ != -1) ::close(out_);
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool Child::start(const std::vector<std::string> &argv, int stderr_fd) {
  int inp[2], outp[2];
  if (argv.empty() || pipe2(inp, O_CLOEXEC) != 0) return false;
  if (pipe2(outp, O_CLOEXEC) != 0) {
    ::close(inp[0]);
    ::close(inp[1]);
    return false;
  }
  std::vector<char *> args;
  args.reserve(argv.size() + 1);
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(inp[0], 0);
    dup2(outp[1], 1);
    if (stderr_fd >= 0) dup2(stderr_fd, 2);
    execv(args[0], args.data());
    _exit(127);
  }
  int saved = errno;
  ::close(inp[0]);
  ::close(outp[1]);
  if (pid < 0) {
    ::close(inp[1]);
    ::close(outp[0]);
    errno = saved;
    return false;
  }
  pid_ = pid;
  in_ = inp[1];
  out_ = outp[0];
  return true;
}

bool Child::send(const Bytes &b) {
  size_t done = 0;
  while (done < b.size()) {
    ssize_t n = ::write(in_, b.data() + done, b.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

static long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

bool Child::read_exact(uint8_t *p, size_t n, int timeout_ms) {
  long deadline = timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
  while (n > 0) {
    int wait_ms = -1;
    if (deadline >= 0) {
      long left = deadline - now_ms();
      if (left <= 0) return false;
      wait_ms = static_cast<int>(left);
    }
    pollfd pfd{out_, POLLIN, 0};
    int r = poll(&pfd, 1, wait_ms);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    ssize_t got = ::read(out_, p, n);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

std::optional<Reply> Child::recv(int timeout_ms) {
  uint8_t hdr[4];
  if (!read_exact(hdr, 4, timeout_ms)) return std::nullopt;
  uint32_t len;
  Reader(hdr, 4).u32(len);
  if (len == 0 || len > 16 * 1024 * 1024) return std::nullopt;
  Bytes body(len);
  if (!read_exact(body.data(), len, timeout_ms)) return std::nullopt;
  Reply r;
  r.type = body[0];
  r.body.assign(body.begin() + 1, body.end());
  return r;
}

std::optional<Reply> Child::call(const Bytes &request, int timeout_ms) {
  if (!send(request)) return std::nullopt;
  return recv(timeout_ms);
}

bool Child::readable(int timeout_ms) {
  if (out_ == -1) return true;
  for (;;) {
    pollfd pfd{out_, POLLIN, 0};
    int r = poll(&pfd, 1, timeout_ms);
    if (r < 0 && errno == EINTR) continue;
    return r != 0;
  }
}

Bytes Child::read_all(int timeout_ms) {
  Bytes all;
  long deadline = now_ms() + timeout_ms;
  for (;;) {
    long left = deadline - now_ms();
    if (left <= 0) break;
    pollfd pfd{out_, POLLIN, 0};
    int r = poll(&pfd, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    uint8_t buf[4096];
    ssize_t got = ::read(out_, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    all.insert(all.end(), buf, buf + got);
  }
  return all;
}

void Child::close_input() {
  if (in_ != -1) ::close(in_);
  in_ = -1;
}

int Child::wait(int timeout_ms) {
  if (pid_ <= 0) return -1;
  long deadline = now_ms() + timeout_ms;
  for (;;) {
    int status;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return status;
    }
    if (r < 0 && errno != EINTR) return -1;
    if (now_ms() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
      return -1;
    }
    struct timespec ts {
      0, 5L * 1000 * 1000
    };
    nanosleep(&ts, nullptr);
  }
}

}  // namespace vardek::agent
