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

namespace {

void emit(int priority, const char *fmt, va_list ap) {
  char line[1024];
  if (vsnprintf(line, sizeof line, fmt, ap) < 0) return;
  if (level > 0)
    (void)fprintf(stderr, "vardek-agent: %s\n", line);
  else
    syslog(priority, "%s", line);
}

}  // namespace

void log_msg(int priority, const char *fmt, ...) {
  if (level == 0 && priority > LOG_NOTICE) return;
  va_list ap;
  va_start(ap, fmt);
  emit(priority, fmt, ap);
  va_end(ap);
}

}  // namespace vardek::agent
