// The leveled logger: filters by threshold, prefixes the level name where the
// mode wants one, escapes unprintable bytes and writes one line to standard
// error or one message to syslog.
#include "log/log.h"

#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/log_compose.h"

extern "C" {
// glibc's name for the program's own name; no other spelling reaches it.
extern char *__progname;  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
}

namespace {

const char *log_progname = nullptr;
int log_threshold = SSHLOG_INFO;
int log_to_stderr = 1;
int log_facility = LOG_AUTH;

// Standard error keeps layout characters readable; syslog gets every
// control character spelled out.
constexpr int kStderrVisFlags = VIS_OCTAL | VIS_SAFE;
constexpr int kSyslogVisFlags = VIS_OCTAL | VIS_CSTYLE | VIS_TAB | VIS_NL;

// Longest line body written to standard error, before "\r\n".
constexpr int kStderrLineMax = 1021;
// Longest message handed to syslog.
#define SYSLOG_MSG_FORMAT "%.500s"

bool is_fatal_class(int level) { return level < SSHLOG_ERROR || level > SSHLOG_DEBUG3; }

const char *level_name(int level, int to_stderr) {
  if (is_fatal_class(level)) return to_stderr ? nullptr : "fatal";
  switch (level) {
    case SSHLOG_ERROR:
      return to_stderr ? nullptr : "error";
    case SSHLOG_DEBUG1:
      return "debug1";
    case SSHLOG_DEBUG2:
      return "debug2";
    case SSHLOG_DEBUG3:
      return "debug3";
    default:
      return nullptr;
  }
}

int syslog_priority(int level) {
  if (is_fatal_class(level)) return LOG_CRIT;
  switch (level) {
    case SSHLOG_ERROR:
      return LOG_ERR;
    case SSHLOG_INFO:
    case SSHLOG_VERBOSE:
      return LOG_INFO;
    default:
      return LOG_DEBUG;
  }
}

const char *syslog_ident() { return log_progname != nullptr ? log_progname : __progname; }

}  // namespace

namespace vardek {

size_t log_escape(char *dst, size_t dstsize, const char *src, int flags) {
  if (dstsize == 0) return 0;
  size_t len = 0;
  char one[5];  // the longest escape of one byte is four characters
  for (const char *p = src; *p != '\0'; p++) {
    char *end = vis(one, *p, flags, p[1]);
    size_t n = static_cast<size_t>(end - one);
    if (n > dstsize - 1 - len) break;  // never cut an escape in half
    memcpy(dst + len, one, n);
    len += n;
  }
  dst[len] = '\0';
  return len;
}

// The format is built at run time from the caller's checked format, and
// every step truncates to its buffer on purpose.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#ifndef __clang__  // a gcc-only warning
#pragma GCC diagnostic ignored "-Wformat-truncation"
#endif
void log_compose(char *encoded, const char *func, int showfunc, int level, int to_stderr,
                 const char *suffix, const char *fmt, va_list args) {
  char fmtbuf[LOG_FMT_SIZE];
  char prefixed[LOG_MSG_SIZE];
  char msgbuf[LOG_MSG_SIZE];

  if (showfunc)
    (void)snprintf(fmtbuf, sizeof(fmtbuf), "%s: %s", func != nullptr ? func : "", fmt);
  else
    (void)snprintf(fmtbuf, sizeof(fmtbuf), "%s", fmt);

  const char *use_fmt = fmtbuf;
  if (const char *name = level_name(level, to_stderr)) {
    (void)snprintf(prefixed, sizeof(prefixed), "%s: %s", name, fmtbuf);
    use_fmt = prefixed;
  }

  (void)vsnprintf(msgbuf, sizeof(msgbuf), use_fmt, args);
  if (suffix != nullptr) {
    char withsuffix[LOG_MSG_SIZE];
    (void)snprintf(withsuffix, sizeof(withsuffix), "%s: %s", msgbuf, suffix);
    memcpy(msgbuf, withsuffix, sizeof(msgbuf));
  }

  log_escape(encoded, LOG_MSG_SIZE, msgbuf, to_stderr ? kStderrVisFlags : kSyslogVisFlags);
}
#pragma GCC diagnostic pop

}  // namespace vardek

void log_init_handler(const char *progname, int level, int to_stderr) {
  log_progname = progname;
  if (progname != nullptr) {
    if (static_cast<unsigned int>(level) > static_cast<unsigned int>(SSHLOG_DEBUG3)) {
      (void)fprintf(stderr, "Unrecognized internal syslog level code %d\n", level);
      exit(1);
    }
    log_threshold = level;
  }
  log_to_stderr = to_stderr;
  if (to_stderr) return;
  log_facility = LOG_AUTH;
  openlog(syslog_ident(), LOG_PID, log_facility);
  closelog();
}

void sshlogv(const char *file, const char *func, int line, int showfunc, int level,
             const char *suffix, const char *fmt, va_list args) {
  (void)file;
  (void)line;
  int saved_errno = errno;
  if (level > log_threshold) {
    errno = saved_errno;
    return;
  }

  char encoded[vardek::LOG_MSG_SIZE];
  vardek::log_compose(encoded, func, showfunc, level, log_to_stderr, suffix, fmt, args);

  if (log_to_stderr) {
#pragma GCC diagnostic push
#ifndef __clang__  // a gcc-only warning
#pragma GCC diagnostic ignored "-Wformat-truncation"
#endif
    char line_out[vardek::LOG_MSG_SIZE + 2];
    int n = snprintf(line_out, sizeof(line_out), "%.*s\r\n", kStderrLineMax, encoded);
    if (n > 0) {
      size_t len =
          static_cast<size_t>(n) < sizeof(line_out) ? static_cast<size_t>(n) : sizeof(line_out) - 1;
      ssize_t w = write(STDERR_FILENO, line_out, len);
      (void)w;  // nowhere left to report a failed log write
    }
#pragma GCC diagnostic pop
  } else {
    openlog(syslog_ident(), LOG_PID, log_facility);
    syslog(syslog_priority(level), SYSLOG_MSG_FORMAT, encoded);
    closelog();
  }
  errno = saved_errno;
}

void sshlog(const char *file, const char *func, int line, int showfunc, int level,
            const char *suffix, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  sshlogv(file, func, line, showfunc, level, suffix, fmt, args);
  va_end(args);
}

void sshfatal(const char *file, const char *func, int line, int showfunc, const char *suffix,
              const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  sshlogv(file, func, line, showfunc, SSHLOG_FATAL, suffix, fmt, args);
  va_end(args);
  _exit(255);
}

namespace vardek {

void log_at(const char *file, const char *func, int line, log_opts opts, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  sshlogv(file, func, line, opts.show_func ? 1 : 0, opts.level, opts.suffix, fmt, args);
  va_end(args);
}

void fatal_at(const char *file, const char *func, int line, log_opts opts, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  sshlogv(file, func, line, opts.show_func ? 1 : 0, SSHLOG_FATAL, opts.suffix, fmt, args);
  va_end(args);
  _exit(255);
}

}  // namespace vardek
