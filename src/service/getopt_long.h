// Our own POSIX option parser: short options only, no reordering of
// arguments, no influence from the environment.
#ifndef VARDEK_SERVICE_GETOPT_LONG_H
#define VARDEK_SERVICE_GETOPT_LONG_H

namespace vardek {

// Parser position, one per argument vector. Start with {1, 0, nullptr, nullptr}
// (see getopt_state_init).
struct getopt_state {
  int optind;          // index of the next argument to examine
  int optopt;          // the option character last looked at
  const char *optarg;  // argument of the last option that takes one
  const char *place;   // next option character inside the current cluster
};

inline getopt_state getopt_state_init() { return getopt_state{1, 0, nullptr, nullptr}; }

// Returns the next option character of `argv` that `options` names ("v",
// "a:" for an option with an argument); '?' for a character it does not
// name (logged "unknown option -- %c" at SSHLOG_INFO) or a missing argument;
// -1 at the first operand, at "-" or after "--". `state->optind` is then the
// index of the first argument not parsed.
int getopt_internal(getopt_state *state, int argc, char *const *argv, const char *options);

}  // namespace vardek

#endif
