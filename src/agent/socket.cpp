#include "agent/socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace vardek::agent {

namespace {

std::string runtime_base() {
  for (const char *var : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
    const char *v = getenv(var);
    struct stat st {};
    if (v != nullptr && *v == '/' && stat(v, &st) == 0 && S_ISDIR(st.st_mode)) return v;
  }
  return "/tmp";
}

std::string make_private_dir(std::string &why) {
  std::string tmpl = runtime_base() + "/vardek-agent-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) {
    why = "cannot make a directory for the socket (" + tmpl + "): " + strerror(errno);
    return "";
  }
  return buf.data();
}

}  // namespace

std::optional<Listener> listen_socket(const std::string &requested, std::string &why) {
  Listener l;
  if (requested.empty()) {
    l.dir = make_private_dir(why);
    if (l.dir.empty()) return std::nullopt;
    l.path = l.dir + "/agent.sock";
  } else {
    l.path = requested;
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (l.path.size() >= sizeof addr.sun_path) {
    why = "socket path too long: " + l.path;
    remove_listener(l);
    return std::nullopt;
  }
  memcpy(addr.sun_path, l.path.c_str(), l.path.size() + 1);
  l.fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (l.fd < 0) {
    why = std::string("socket: ") + strerror(errno);
    remove_listener(l);
    return std::nullopt;
  }
  // The socket is never reachable by others, not even between bind and
  // chmod.
  mode_t old = umask(0177);
  int rc = bind(l.fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
  int err = errno;
  umask(old);
  if (rc != 0) {
    why = "cannot bind " + l.path + ": " + strerror(err);
    ::close(l.fd);
    l.fd = -1;
    l.path.clear();  // not ours to remove
    remove_listener(l);
    return std::nullopt;
  }
  if (chmod(l.path.c_str(), 0600) != 0 || listen(l.fd, 128) != 0) {
    why = "cannot listen on " + l.path + ": " + strerror(errno);
    remove_listener(l);
    return std::nullopt;
  }
  return l;
}

void remove_listener(Listener &l) {
  if (l.fd >= 0) ::close(l.fd);
  l.fd = -1;
  if (!l.path.empty()) unlink(l.path.c_str());
  if (!l.dir.empty()) rmdir(l.dir.c_str());
  l.path.clear();
  l.dir.clear();
}

bool peer_credentials(int fd, uid_t &uid, pid_t &pid) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) return false;
  uid = cred.uid;
  pid = cred.pid;
  return true;
}

}  // namespace vardek::agent
