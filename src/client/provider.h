// The part every command shares: read the provider name, look at the module
// read-only, refuse logins that would cost retries, read the PIN, start
// vardek, add the provider, read its keys and say which tokens gave none and
// why; at the end remove the provider and end vardek.
#ifndef VARDEK_CLIENT_PROVIDER_H
#define VARDEK_CLIENT_PROVIDER_H

#include <optional>
#include <string>
#include <vector>

#include "client/options.h"
#include "client/p11view.h"
#include "client/session.h"
#include "client/tokenkeys.h"
#include "client/uri.h"

namespace vardek::client {

// The module vardek loads for a URI without module-path.
const char *default_module();

// The tokens of `view` that vardek visits for `name`, in slot order: present,
// initialised, matching token= and manufacturer=.
std::vector<const TokenView *> selected_tokens(const ModuleView &view, const ProviderName &name);

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
  // Why vardek's signature with `k` was refused, from vardek's log lines
  // since `log_from` and what the view knows of the key.
  std::string sign_refusal(const TokenKey &k, size_t log_from) const;

 private:
  int preflight();
  void attribute_keys();
  void explain_tokens_without_keys(bool pin_sent);
  std::string explain_refusal(uint32_t reason, PinOrigin origin, bool pin_sent);
  std::string token_uri(const std::string &label) const;

  const Options &o_;
  std::optional<ProviderName> name_;
  std::string module_;
  std::optional<ModuleView> view_;
  std::string view_why_;
  std::vector<const TokenView *> selected_;
  std::optional<Session> session_;
  bool added_ = false;
  std::vector<TokenKey> keys_;
};

// Reports a failure: "vardek-client: MESSAGE" on standard error, and with
// --json also {"provider", "status": CODE, "message"} on standard output.
void report_failure(const Options &o, const std::string &code, const std::string &message);
// "vardek-client: warning: MESSAGE" on standard error.
void warn(const std::string &message);

}  // namespace vardek::client

#endif
