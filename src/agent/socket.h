// The agent's listening socket: where it lives, its modes, and who is on the
// other end of a connection.
#ifndef VARDEK_AGENT_SOCKET_H
#define VARDEK_AGENT_SOCKET_H

#include <sys/types.h>

#include <optional>
#include <string>

namespace vardek::agent {

struct Listener {
  int fd = -1;
  std::string path;  // the socket
  std::string dir;   // the private directory made for it, or "" with -a
};

// Listens on `requested`, or when it is empty on "agent.sock" in a fresh
// directory (mode 0700) under $XDG_RUNTIME_DIR, else $TMPDIR, else /tmp.
// The socket gets mode 0600; the descriptor is non-blocking. nullopt with
// `why` set on failure.
std::optional<Listener> listen_socket(const std::string &requested, std::string &why);

// Closes the socket and removes it (and the directory made for it).
void remove_listener(Listener &l);

// The uid and pid of the process on the other end of connection `fd`.
bool peer_credentials(int fd, uid_t &uid, pid_t &pid);

}  // namespace vardek::agent

#endif
