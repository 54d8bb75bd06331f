// The part every command shares: read the PIN, start vardek, add the
// provider, read its keys; at the end remove the provider and end vardek.
#ifndef VARDEK_CLIENT_PROVIDER_H
#define VARDEK_CLIENT_PROVIDER_H

#include <optional>
#include <string>
#include <vector>

#include "client/options.h"
#include "client/session.h"
#include "client/tokenkeys.h"

namespace vardek::client {

class OpenProvider {
 public:
  explicit OpenProvider(const Options &o) : o_(o) {}
  OpenProvider(const OpenProvider &) = delete;
  OpenProvider &operator=(const OpenProvider &) = delete;
  // Removes the provider and ends vardek.
  ~OpenProvider();

  // 0 when the provider is added and has keys; otherwise the failure has
  // been reported and the exit status is returned.
  int open();
  Session &session() { return *session_; }
  const std::vector<TokenKey> &keys() const { return keys_; }

 private:
  const Options &o_;
  std::optional<Session> session_;
  bool added_ = false;
  std::vector<TokenKey> keys_;
};

// Reports a failure: "vardek-client: MESSAGE" on standard error, and with
// --json also {"provider", "status": CODE, "message"} on standard output.
void report_failure(const Options &o, const std::string &code, const std::string &message);

}  // namespace vardek::client

#endif
