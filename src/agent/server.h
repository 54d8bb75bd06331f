// The agent's single-threaded poll loop over the listening socket, every
// client connection and vardek's pipes. A connection is served one request
// at a time: its next message is read only once the answer to the last one
// is written, so a client that does not read cannot make the agent queue
// more for it.
#ifndef VARDEK_AGENT_SERVER_H
#define VARDEK_AGENT_SERVER_H

#include <sys/types.h>

#include <cstdint>
#include <map>

#include "agent/requests.h"
#include "agent/secret_buffer.h"
#include "agent/supervisor.h"

namespace vardek::agent {

// The longest client message taken; a longer one closes its connection.
inline constexpr uint32_t max_message = 256 * 1024;

class Server {
 public:
  Server(int listen_fd, int stop_fd, Supervisor &vardek)
      : listen_fd_(listen_fd), stop_fd_(stop_fd), vardek_(vardek) {}
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;
  ~Server();

  // Serves until `stop_fd` becomes readable; returns 0, or 1 when poll fails.
  int run();

 private:
  struct Connection {
    int fd = -1;
    SecretBuffer in;
    Bytes out;
    size_t out_done = 0;
    bool busy = false;  // its request waits for vardek
  };

  void accept_all();
  void on_vardek(short read_events, short write_events);
  // Reads what the client sent; false when the connection must close.
  bool read_from(uint64_t id, Connection &c);
  // Writes queued answer bytes; false when the connection must close.
  bool flush(Connection &c);
  // Handles complete messages while the connection is free; false to close.
  bool serve(uint64_t id, Connection &c);
  void deliver(const Delivery &d);
  void dispatch();
  void close_connection(uint64_t id);

  int listen_fd_;
  int stop_fd_;
  Supervisor &vardek_;
  Requests requests_;
  std::map<uint64_t, Connection> conns_;
  uint64_t next_id_ = 1;
  uid_t uid_ = 0;
};

}  // namespace vardek::agent

#endif
