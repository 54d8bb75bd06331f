// The one vardek child: started on demand, fed one request frame at a time
// through non-blocking pipes, its reply assembled as it arrives, its death
// noticed and logged.
#ifndef VARDEK_AGENT_SUPERVISOR_H
#define VARDEK_AGENT_SUPERVISOR_H

#include <memory>
#include <string>

#include "agentproto/agentproto.h"

namespace vardek::agent {

class Supervisor {
 public:
  Supervisor(std::string program, int verbose) : program_(std::move(program)), verbose_(verbose) {}
  Supervisor(const Supervisor &) = delete;
  Supervisor &operator=(const Supervisor &) = delete;
  ~Supervisor();

  enum class Event { none, reply, died };

  bool running() const { return child_ != nullptr; }
  // Starts vardek if none runs and queues `frame` for it (the frame is
  // wiped once written). False when vardek cannot be started.
  bool send(Bytes frame);
  // Descriptors to poll: output always while running, input while a frame
  // is being written (-1 otherwise).
  int read_fd() const;
  int write_fd() const;
  // Handle readiness; `reply` is set with Event::reply.
  Event on_readable(Reply &reply);
  Event on_writable();
  // Closes vardek's input and waits for it to finish, so its modules are
  // finalised.
  void stop();

 private:
  Event died(const char *why);
  std::string program_;
  int verbose_;
  std::unique_ptr<Child> child_;
  Bytes out_;  // the request frame being written
  size_t out_done_ = 0;
  Bytes in_;  // reply bytes read so far
};

}  // namespace vardek::agent

#endif
