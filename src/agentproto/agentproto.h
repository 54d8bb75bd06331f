// Agent side of vardek's protocol: framing, requests and reply parsing, and a
// handle on a vardek child process. Used by vardek-client and the tests.
#ifndef VARDEK_AGENTPROTO_AGENTPROTO_H
#define VARDEK_AGENTPROTO_AGENTPROTO_H

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agentproto/messages.h"

namespace vardek::agent {

using Bytes = std::vector<uint8_t>;

enum : uint8_t {
  AGENT_FAILURE = SSH_AGENT_FAILURE,
  AGENT_SUCCESS = SSH_AGENT_SUCCESS,
  AGENT_IDENTITIES_ANSWER = SSH_AGENT_IDENTITIES_ANSWER,
  AGENTC_SIGN_REQUEST = SSH_AGENTC_SIGN_REQUEST,
  AGENT_SIGN_RESPONSE = SSH_AGENT_SIGN_RESPONSE,
  AGENTC_ADD_SMARTCARD_KEY = SSH_AGENTC_ADD_SMARTCARD_KEY,
  AGENTC_REMOVE_SMARTCARD_KEY = SSH_AGENTC_REMOVE_SMARTCARD_KEY,
  AGENT_SIGN_FAILURE = SSH_AGENT_SIGN_FAILURE,
};

// Wire helpers (big-endian, SSH string = u32 length + bytes).
void put_u32(Bytes &b, uint32_t v);
void put_string(Bytes &b, const void *p, size_t n);
inline void put_string(Bytes &b, std::string_view s) { put_string(b, s.data(), s.size()); }
inline void put_string(Bytes &b, const Bytes &s) { put_string(b, s.data(), s.size()); }

// Reads from a byte range; every getter returns false when too few bytes remain.
class Reader {
 public:
  Reader(const uint8_t *p, size_t n) : p_(p), n_(n) {}
  explicit Reader(const Bytes &b) : Reader(b.data(), b.size()) {}
  bool u8(uint8_t &v);
  bool u32(uint32_t &v);
  bool string(Bytes &v);
  bool string(std::string &v);
  size_t left() const { return n_; }

 private:
  const uint8_t *p_;
  size_t n_;
};

// Returns the frame for `body`: u32 length then the body.
Bytes frame(const Bytes &body);
// Overwrites every byte of `b` with zeros (not optimised away) and empties it.
void wipe(Bytes &b);
// Add and remove requests are built in one allocation of their final size,
// so the PIN is never left behind in a released buffer; wipe() them after use.
Bytes add_request(std::string_view provider, std::string_view pin);
Bytes remove_request(std::string_view provider, std::string_view pin = "");
Bytes sign_request(const Bytes &key_blob, const Bytes &data, uint32_t flags = 0);

struct Identity {
  Bytes blob;
  std::string label;
};

// A reply body: the type byte and what follows it.
struct Reply {
  uint8_t type = 0;
  Bytes body;
};

// The identities of an answer to an add request; nullopt when `r` is not a
// well-formed identities answer (count and entries must agree exactly).
std::optional<std::vector<Identity>> parse_identities(const Reply &r);
// The reason word of an add failure, or nullopt.
std::optional<uint32_t> parse_add_failure(const Reply &r);
// The signature of a sign response, or nullopt.
std::optional<Bytes> parse_signature(const Reply &r);

// A running vardek with pipes on its standard input and output, started as an
// agent starts it. Standard error goes to `stderr_fd` (-1: inherit).
class Child {
 public:
  Child() = default;
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  ~Child();

  // Starts `argv[0]` with `argv`; returns false with errno set on failure.
  bool start(const std::vector<std::string> &argv, int stderr_fd = -1);
  // Writes all of `b`; false when the pipe is closed.
  bool send(const Bytes &b);
  // Reads one reply frame, waiting at most `timeout_ms` (-1: forever).
  // nullopt on end of output, time-out or a malformed frame.
  std::optional<Reply> recv(int timeout_ms = -1);
  // Sends a request frame and reads its reply.
  std::optional<Reply> call(const Bytes &request, int timeout_ms = -1);
  // True when a reply (or end of output) is ready to be read within
  // `timeout_ms`; false on time-out. Lets a caller show progress while a
  // slow token works.
  bool readable(int timeout_ms);
  // Reads whatever arrives until end of output or time-out.
  Bytes read_all(int timeout_ms);
  void close_input();
  // Waits for the child and returns its wait status, or -1 after `timeout_ms`
  // (the child is then killed).
  int wait(int timeout_ms = 10000);
  pid_t pid() const { return pid_; }
  // The pipe ends (our sides of its standard input and output), for a
  // caller that polls them together with other descriptors.
  int input_fd() const { return in_; }
  int output_fd() const { return out_; }

 private:
  bool read_exact(uint8_t *p, size_t n, int timeout_ms);
  pid_t pid_ = -1;
  int in_ = -1;   // our end of the child's standard input
  int out_ = -1;  // our end of the child's standard output
};

}  // namespace vardek::agent

#endif
