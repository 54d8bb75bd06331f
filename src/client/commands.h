// The three commands of vardek-client and its exit statuses.
#ifndef VARDEK_CLIENT_COMMANDS_H
#define VARDEK_CLIENT_COMMANDS_H

#include "client/options.h"

namespace vardek::client {

enum ExitStatus : int {
  exit_ok = 0,
  exit_usage = 1,      // bad command line, or an input or PIN source unreadable
  exit_provider = 2,   // the provider yielded no keys or failed, or vardek failed
  exit_signature = 3,  // a signature failed or did not verify
};

int run_list(const Options &o);
int run_sign(const Options &o);
int run_check(const Options &o);
int run_tokens(const Options &o);

}  // namespace vardek::client

#endif
