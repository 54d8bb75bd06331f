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
  ~Session();

  // Starts vardek with pipes on its standard input, output and error. false with `why` set on
  // failure.
  bool start(std::string &why);
  // The add request carries the PIN; its copy in the request is wiped.
  AddResult add(const std::string &provider, const Secret &pin);
  SignResult sign(const agent::Bytes &blob, const agent::Bytes &data);
  // True when vardek removed the provider.
  bool remove(const std::string &provider);
  // Closes vardek's input and waits for it to end.
  void finish();
  bool alive() const { return alive_; }
  // vardek's log lines so far ("\r" and line end removed). With -v they are
  // also shown as they arrive, CKR_ names and flag words added.
  const std::vector<std::string> &log() const { return log_; }
  // vardek's lines from index `from` on, annotated, one "  vardek: ..." per
  // line; "" when there are none. For failures explained without -v.
  std::string log_excerpt(size_t from) const;

 private:
  // Reads what vardek has written to its standard error so far.
  void drain(bool until_eof = false);
  void take_line(std::string line);
  std::optional<agent::Reply> exchange(agent::Bytes &request, const char *what);
  std::string ended();

  agent::Child child_;
  std::string path_;
  int verbose_;
  bool alive_ = false;
  int err_ = -1;  // our end of vardek's standard error
  std::string partial_;
  std::vector<std::string> log_;
};

}  // namespace vardek::client

#endif
