// vardek-client: starts vardek as an agent does and shows what it makes of a
// PKCS#11 token: its keys, a signature, a check of every key.
#include <signal.h>

#include <cstdio>

#include "client/commands.h"
#include "client/options.h"

using namespace vardek::client;

namespace {

// A write to a vardek that has ended must fail with EPIPE rather than end
// the client. A handler, not SIG_IGN: an ignored signal would stay ignored
// in vardek across exec.
void on_sigpipe(int) {}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  std::string why;
  switch (parse_options(argc, argv, o, why)) {
    case ParseResult::help:
      (void)fputs(usage_text(), stdout);
      (void)fputs(help_text(), stdout);
      return exit_ok;
    case ParseResult::version:
      printf("vardek-client %s\n", VARDEK_VERSION);
      return exit_ok;
    case ParseResult::error:
      (void)fprintf(stderr, "vardek-client: %s\n%s(vardek-client --help says more)\n", why.c_str(),
                    usage_text());
      return exit_usage;
    case ParseResult::ok:
      break;
  }
  struct sigaction sa {};
  sa.sa_handler = on_sigpipe;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGPIPE, &sa, nullptr);
  switch (o.command) {
    case Command::list:
      return run_list(o);
    case Command::sign:
      return run_sign(o);
    case Command::check:
      return run_check(o);
    case Command::tokens:
      return run_tokens(o);
  }
  return exit_usage;
}
