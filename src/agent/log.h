// vardek-agent's log: standard error with -v, else syslog (facility AUTH).
#ifndef VARDEK_AGENT_LOG_H
#define VARDEK_AGENT_LOG_H

#include <syslog.h>

namespace vardek::agent {

// `verbose` > 0: every message goes to standard error; otherwise notices and
// errors go to syslog and debug messages nowhere.
void log_init(int verbose);

__attribute__((format(printf, 2, 3))) void log_msg(int priority, const char *fmt, ...);

}  // namespace vardek::agent

#endif
