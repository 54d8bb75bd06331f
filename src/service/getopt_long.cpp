// POSIX getopt without argument permutation. Parsing stops at the first
// operand, so `vardek foo -x` never looks at -x.
#include "service/getopt_long.h"

#include <cstring>

#include "log/log.h"

namespace vardek {

int getopt_internal(getopt_state *state, int argc, char *const *argv, const char *options) {
  state->optarg = nullptr;

  if (state->place == nullptr || *state->place == '\0') {
    // Start on the next argument.
    state->place = nullptr;
    if (state->optind >= argc) return -1;
    const char *arg = argv[state->optind];
    if (arg == nullptr || arg[0] != '-' || arg[1] == '\0') return -1;  // operand or "-"
    if (strcmp(arg, "--") == 0) {
      state->optind++;
      return -1;
    }
    state->place = arg + 1;
  }

  int c = static_cast<unsigned char>(*state->place++);
  state->optopt = c;
  const char *known = c == ':' ? nullptr : strchr(options, c);
  bool last_in_cluster = *state->place == '\0';

  if (known == nullptr) {
    log_info("unknown option -- %c", c);
    if (last_in_cluster) state->optind++;
    return '?';
  }

  if (known[1] != ':') {
    if (last_in_cluster) state->optind++;
    return c;
  }

  // The option takes an argument: the rest of this cluster, or the next
  // argument.
  if (!last_in_cluster) {
    state->optarg = state->place;
  } else if (state->optind + 1 < argc) {
    state->optind++;
    state->optarg = argv[state->optind];
  } else {
    log_info("option requires an argument -- %c", c);
    state->optind++;
    state->place = nullptr;
    return '?';
  }
  state->optind++;
  state->place = nullptr;
  return c;
}

}  // namespace vardek
