// The agent's requests: what it answers itself (identities, lock, unlock,
// everything it refuses) and what goes to vardek (add, remove, sign, remove
// all), queued in arrival order with one in flight at a time. Keeps the
// identities vardek's add answers gave, per provider in add order.
#ifndef VARDEK_AGENT_REQUESTS_H
#define VARDEK_AGENT_REQUESTS_H

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "agent/lock.h"
#include "agent/sigconv.h"
#include "agentproto/agentproto.h"

namespace vardek::agent {

// Client requests of the agent protocol beyond those vardek serves.
enum : uint8_t {
  AGENTC_REQUEST_IDENTITIES = 11,
  AGENTC_REMOVE_ALL_IDENTITIES = 19,
  AGENTC_LOCK = 22,
  AGENTC_UNLOCK = 23,
};

// A reply frame for a client connection.
struct Delivery {
  uint64_t conn = 0;
  Bytes frame;
};

class Requests {
 public:
  enum class Verdict {
    answered,   // `reply` holds the answer frame
    queued,     // the answer comes through on_reply or on_vardek_lost
    malformed,  // the connection must be closed
  };

  // Handles the message `msg` (type byte and body) of connection `conn`.
  Verdict handle(uint64_t conn, const uint8_t *msg, size_t len, Bytes &reply);

  // The frame of the next request for vardek, when one waits and none is in
  // flight; it is then in flight.
  std::optional<Bytes> next_for_vardek();
  // vardek answered the request in flight. nullopt when the request needs
  // vardek again (remove all, one provider at a time).
  std::optional<Delivery> on_reply(const Reply &r);
  // vardek is gone: every identity goes, and the request in flight (if any)
  // fails.
  std::optional<Delivery> on_vardek_lost();

  size_t identity_count() const { return ids_.size(); }

 private:
  struct Identity {
    std::string provider;
    Bytes blob;
    std::string label;
  };
  enum class Kind { add, remove, sign, remove_all };
  struct Job {
    uint64_t conn = 0;
    Kind kind = Kind::add;
    std::string provider;
    Bytes frame;  // the request for vardek; may hold a PIN, wiped when sent
    KeyShape key;
    SignPlan plan;
    std::vector<std::string> providers;  // remove all: those still to remove
  };

  static Job new_job(uint64_t conn, Kind kind);
  Verdict queue(Job job);
  Bytes identities_answer() const;
  void drop_provider(const std::string &provider);

  std::vector<Identity> ids_;
  std::deque<Job> jobs_;
  bool in_flight_ = false;
  Lock lock_;
};

}  // namespace vardek::agent

#endif
