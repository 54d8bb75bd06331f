#include "agent/server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "agent/log.h"
#include "agent/socket.h"

namespace vardek::agent {

Server::~Server() {
  for (auto &[id, c] : conns_) ::close(c.fd);
}

int Server::run() {
  uid_ = getuid();
  std::vector<pollfd> fds;
  std::vector<uint64_t> ids;
  for (;;) {
    fds.clear();
    ids.clear();
    fds.push_back({stop_fd_, POLLIN, 0});
    fds.push_back({listen_fd_, POLLIN, 0});
    fds.push_back({vardek_.read_fd(), POLLIN, 0});
    fds.push_back({vardek_.write_fd(), POLLOUT, 0});
    for (auto &[id, c] : conns_) {
      short ev = 0;
      if (c.in.size() < 4 + size_t{max_message}) ev |= POLLIN;
      if (c.out_done < c.out.size()) ev |= POLLOUT;
      fds.push_back({c.fd, ev, 0});
      ids.push_back(id);
    }
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      log_msg(LOG_ERR, "poll: %s", strerror(errno));
      return 1;
    }
    if (fds[0].revents != 0) return 0;
    if (fds[1].revents != 0) accept_all();
    on_vardek(fds[2].revents, fds[3].revents);
    for (size_t i = 0; i < ids.size(); i++) {
      auto it = conns_.find(ids[i]);
      short rev = fds[4 + i].revents;
      if (it == conns_.end() || rev == 0) continue;
      Connection &c = it->second;
      bool keep = true;
      if ((rev & POLLOUT) != 0) keep = flush(c);
      if (keep && (rev & POLLIN) != 0)
        keep = read_from(ids[i], c);
      else if ((rev & (POLLHUP | POLLERR)) != 0)
        keep = false;  // gone, with nothing left to read
      if (!keep) close_connection(ids[i]);
    }
    for (auto it = conns_.begin(); it != conns_.end();) {
      uint64_t id = it->first;
      bool keep = serve(id, it->second);
      ++it;
      if (!keep) close_connection(id);
    }
    dispatch();
  }
}

void Server::accept_all() {
  for (;;) {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) log_msg(LOG_ERR, "accept: %s", strerror(errno));
      return;
    }
    uid_t uid = 0;
    pid_t pid = 0;
    if (!peer_credentials(fd, uid, pid)) {
      log_msg(LOG_ERR, "refused a connection: cannot read its peer credentials: %s",
              strerror(errno));
      ::close(fd);
      continue;
    }
    if (uid != uid_ && uid != 0) {
      log_msg(LOG_ERR, "refused a connection from uid %u (pid %d): not the agent's user",
              static_cast<unsigned>(uid), static_cast<int>(pid));
      ::close(fd);
      continue;
    }
    uint64_t id = next_id_++;
    log_msg(LOG_DEBUG, "connection %llu from pid %d", static_cast<unsigned long long>(id),
            static_cast<int>(pid));
    conns_[id].fd = fd;
  }
}

void Server::on_vardek(short read_events, short write_events) {
  Supervisor::Event ev = Supervisor::Event::none;
  if ((write_events & (POLLOUT | POLLERR | POLLHUP)) != 0) ev = vardek_.on_writable();
  if (ev != Supervisor::Event::died && vardek_.running() && read_events != 0) {
    Reply reply;
    ev = vardek_.on_readable(reply);
    if (ev == Supervisor::Event::reply) {
      if (auto d = requests_.on_reply(reply)) deliver(*d);
    }
  }
  if (ev == Supervisor::Event::died) {
    if (auto d = requests_.on_vardek_lost()) deliver(*d);
  }
}

bool Server::read_from(uint64_t id, Connection &c) {
  size_t room = 4 + size_t{max_message} - c.in.size();
  if (room == 0) return true;
  size_t want = room < 65536 ? room : 65536;
  ssize_t n = recv(c.fd, c.in.reserve(want), want, 0);
  if (n < 0) return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK;
  if (n == 0) {
    log_msg(LOG_DEBUG, "connection %llu closed by the client", static_cast<unsigned long long>(id));
    return false;
  }
  c.in.commit(static_cast<size_t>(n));
  return true;
}

bool Server::flush(Connection &c) {
  while (c.out_done < c.out.size()) {
    ssize_t n = send(c.fd, c.out.data() + c.out_done, c.out.size() - c.out_done,
                     MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n <= 0) return false;
    c.out_done += static_cast<size_t>(n);
  }
  c.out.clear();
  c.out_done = 0;
  return true;
}

bool Server::serve(uint64_t id, Connection &c) {
  while (!c.busy && c.out.empty() && c.in.size() >= 4) {
    uint32_t len;
    Reader(c.in.data(), 4).u32(len);
    if (len == 0 || len > max_message) {
      log_msg(LOG_ERR, "closing connection %llu: message length %u out of range",
              static_cast<unsigned long long>(id), len);
      return false;
    }
    if (c.in.size() < 4 + size_t{len}) return true;
    Bytes reply;
    Requests::Verdict v = requests_.handle(id, c.in.data() + 4, len, reply);
    c.in.consume(4 + size_t{len});
    if (v == Requests::Verdict::malformed) {
      log_msg(LOG_ERR, "closing connection %llu: malformed message",
              static_cast<unsigned long long>(id));
      return false;
    }
    if (v == Requests::Verdict::queued) {
      c.busy = true;
      return true;
    }
    c.out = std::move(reply);
    if (!flush(c)) return false;
  }
  return true;
}

void Server::deliver(const Delivery &d) {
  auto it = conns_.find(d.conn);
  if (it == conns_.end()) return;  // the client left; the answer is dropped
  Connection &c = it->second;
  c.busy = false;
  c.out = d.frame;
  c.out_done = 0;
  if (!flush(c)) close_connection(d.conn);
}

void Server::dispatch() {
  for (;;) {
    std::optional<Bytes> f = requests_.next_for_vardek();
    if (!f) return;
    if (vardek_.send(std::move(*f))) {
      if (vardek_.on_writable() != Supervisor::Event::died) return;
    }
    // vardek could not start or died on the request: it fails, and the
    // next one gets a new vardek.
    if (auto d = requests_.on_vardek_lost()) deliver(*d);
  }
}

void Server::close_connection(uint64_t id) {
  auto it = conns_.find(id);
  if (it == conns_.end()) return;
  ::close(it->second.fd);
  conns_.erase(it);
}

}  // namespace vardek::agent
