// The command line of vardek-client.
#ifndef VARDEK_CLIENT_OPTIONS_H
#define VARDEK_CLIENT_OPTIONS_H

#include <string>

#include "client/pin.h"

namespace vardek::client {

enum class Command { list, sign, check, tokens };

struct Options {
  Command command = Command::list;
  std::string provider;
  PinSource pin;
  std::string vardek;  // --vardek; empty: the one installed beside the client
  int verbose = 0;     // number of -v, passed on to vardek
  bool json = false;
  bool all_tokens = false;  // --all-tokens: one PIN may go to several tokens
  bool final_try = false;   // --final-try: send the PIN to a token on its final try or locked
  std::string key;          // sign: --key
  std::string in;           // sign: --in ("-" for standard input)
  std::string alg;          // sign: --alg
};

enum class ParseResult { ok, help, version, error };

// Parses argv. On `error`, `why` says what is wrong.
ParseResult parse_options(int argc, char **argv, Options &o, std::string &why);

// The usage text, one command a line.
const char *usage_text();
// What the commands and options do, for --help (after the usage text).
const char *help_text();

}  // namespace vardek::client

#endif
