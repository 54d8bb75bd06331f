// One vardek child driven as an agent drives it: add a provider, sign, remove
// it, end. Shows progress while the token works and says how vardek ended
// when it stops answering.
#ifndef VARDEK_CLIENT_SESSION_H
#define VARDEK_CLIENT_SESSION_H

#include <cstdint>
#include <string>
#include <vector>

#include "agentproto/agentproto.h"
#include "client/secret.h"

namespace vardek::client {

struct AddResult {
  enum class Kind { keys, refused, broken } kind = Kind::broken;
  std::vector<agent::Identity> ids;  // keys
  uint32_t reason = 0;               // refused: the reason word of reply 5
  std::string detail;                // broken: what went wrong
};

struct SignResult {
  enum class Kind { signature, refused, broken } kind = Kind::broken;
  agent::Bytes signature;  // signature: what vardek returned
  std::string detail;      // broken: what went wrong
};

class Session {
 public:
  // `vardek` is the program to start; `verbose` -v options are passed on.
  Session(std::string vardek, int verbose);
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  // Starts vardek with pipes on its standard input and output; its standard
  // error is ours. false with `why` set on failure.
  bool start(std::string &why);
  // The add request carries the PIN; its copy in the request is wiped.
  AddResult add(const std::string &provider, const Secret &pin);
  SignResult sign(const agent::Bytes &blob, const agent::Bytes &data);
  // True when vardek removed the provider.
  bool remove(const std::string &provider);
  // Closes vardek's input and waits for it to end.
  void finish();
  bool alive() const { return alive_; }

 private:
  std::optional<agent::Reply> exchange(agent::Bytes &request, const char *what);
  std::string ended();

  agent::Child child_;
  std::string path_;
  int verbose_;
  bool alive_ = false;
};

}  // namespace vardek::client

#endif
