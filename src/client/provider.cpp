#include "client/provider.h"

#include <cstdio>

#include "client/commands.h"
#include "client/explain.h"
#include "client/locate.h"
#include "client/pin.h"
#include "client/textout.h"

namespace vardek::client {

void report_failure(const Options &o, const std::string &code, const std::string &message) {
  (void)fprintf(stderr, "vardek-client: %s\n", printable(message).c_str());
  if (o.json)
    printf("{\"provider\":%s,\"status\":%s,\"message\":%s}\n", json_string(o.provider).c_str(),
           json_string(code).c_str(), json_string(message).c_str());
}

int OpenProvider::open() {
  std::string why;
  std::string path = o_.vardek;
  if (path.empty()) path = default_vardek(why);
  if (path.empty()) {
    report_failure(o_, "no-vardek", why);
    return exit_provider;
  }
  Secret pin;
  PinOrigin origin;
  if (!read_pin(o_.pin, o_.provider, pin, origin, why)) {
    report_failure(o_, "pin", why);
    return exit_usage;
  }
  session_.emplace(path, o_.verbose);
  if (!session_->start(why)) {
    report_failure(o_, "vardek-failed", why);
    return exit_provider;
  }
  AddResult r = session_->add(o_.provider, pin);
  pin.wipe();
  switch (r.kind) {
    case AddResult::Kind::keys:
      added_ = true;
      keys_ = read_token_keys(std::move(r.ids));
      return exit_ok;
    case AddResult::Kind::refused:
      report_failure(o_, add_refusal_code(r.reason),
                     o_.provider + ": " + explain_add_refusal(r.reason, origin));
      return exit_provider;
    case AddResult::Kind::broken:
      break;
  }
  report_failure(o_, "vardek-failed", o_.provider + ": " + r.detail);
  return exit_provider;
}

OpenProvider::~OpenProvider() {
  if (!session_) return;
  if (added_ && session_->alive() && !session_->remove(o_.provider) && o_.verbose > 0)
    (void)fprintf(stderr, "vardek-client: vardek did not confirm the removal of the provider\n");
  session_->finish();
}

}  // namespace vardek::client
