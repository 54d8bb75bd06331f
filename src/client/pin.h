// Where the PIN comes from: a file, an environment variable, or a no-echo
// prompt on the terminal. Never from the command line.
#ifndef VARDEK_CLIENT_PIN_H
#define VARDEK_CLIENT_PIN_H

#include <string>

#include "client/secret.h"

namespace vardek::client {

struct PinSource {
  std::string file;   // --pin-file
  std::string env;    // --pin-env
  bool none = false;  // --no-pin
};

enum class PinOrigin { file, env, prompt, none };

// Fills `pin` from `src`. With no source given, prompts on standard input
// when it is a terminal and otherwise leaves the PIN empty. A PIN read from
// a file or the terminal ends at the first line break; one from a variable
// is taken whole, then overwritten in the environment and the variable is
// removed, so vardek does not inherit it. Returns false with `why` set when
// the source cannot be read or the PIN holds a NUL byte.
bool read_pin(const PinSource &src, const std::string &provider, Secret &pin, PinOrigin &origin,
              std::string &why);

}  // namespace vardek::client

#endif
