// vardek-agent's command line.
#ifndef VARDEK_AGENT_OPTIONS_H
#define VARDEK_AGENT_OPTIONS_H

#include <optional>
#include <string>

namespace vardek::agent {

struct Options {
  std::string socket_path;  // -a; empty: a fresh private directory
  bool foreground = false;  // -D
  int verbose = 0;          // -v, repeatable
  std::string vardek;       // the vardek program to start
};

inline constexpr const char *usage_text = "usage: vardek-agent [-a SOCKET] [-D] [-v]\n";

// Parses argv; nullopt with `why` set on a usage error (`why` empty: -h).
std::optional<Options> parse_options(int argc, char **argv, std::string &why);

}  // namespace vardek::agent

#endif
