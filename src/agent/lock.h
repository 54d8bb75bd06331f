// The agent's lock: while locked it shows no keys and signs nothing. Only a
// salted PBKDF2 hash of the password is kept, never the password.
#ifndef VARDEK_AGENT_LOCK_H
#define VARDEK_AGENT_LOCK_H

#include <array>
#include <cstdint>

#include "agentproto/agentproto.h"

namespace vardek::agent {

class Lock {
 public:
  ~Lock();
  bool locked() const { return locked_; }
  // Locks with `password`; false when already locked.
  bool lock(const Bytes &password);
  // Unlocks when `password` is the one locked with; false otherwise.
  bool unlock(const Bytes &password);

 private:
  bool hash(const Bytes &password, std::array<uint8_t, 32> &out) const;
  bool locked_ = false;
  std::array<uint8_t, 16> salt_{};
  std::array<uint8_t, 32> hash_{};
};

}  // namespace vardek::agent

#endif
