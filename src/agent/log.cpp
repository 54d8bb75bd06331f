#include "agent/log.h"

#include <cstdarg>
#include <cstdio>

namespace vardek::agent {

namespace {
int level = 0;
}

void log_init(int verbose) {
  level = verbose;
  if (level == 0) openlog("vardek-agent", LOG_PID, LOG_AUTH);
}

void log_msg(int priority, const char *fmt, ...) {
  if (level == 0 && priority > LOG_NOTICE) return;
  char line[1024];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (level > 0)
    (void)fprintf(stderr, "vardek-agent: %s\n", line);
  else
    syslog(priority, "%s", line);
}

}  // namespace vardek::agent
