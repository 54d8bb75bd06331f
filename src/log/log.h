// Leveled logger: syslog (facility AUTH) or standard error, with BSD vis(3)
// escaping and bounded buffers. Never writes standard output.
#ifndef VARDEK_LOG_LOG_H
#define VARDEK_LOG_LOG_H

#include <cstdarg>

enum : int {
  SSHLOG_QUIET = 0,
  SSHLOG_FATAL = 1,
  SSHLOG_ERROR = 2,
  SSHLOG_INFO = 3,
  SSHLOG_VERBOSE = 4,
  SSHLOG_DEBUG1 = 5,
  SSHLOG_DEBUG2 = 6,
  SSHLOG_DEBUG3 = 7,
};

// vis(3) flag bits understood by vis().
enum : int {
  VIS_OCTAL = 0x01,
  VIS_CSTYLE = 0x02,
  VIS_TAB = 0x08,
  VIS_NL = 0x10,
  VIS_SAFE = 0x20,
};

// Sets identity, threshold and destination. A threshold above SSHLOG_DEBUG3
// (compared unsigned) with a non-null name prints a message and exits 1.
void log_init_handler(const char *progname, int level, int to_stderr);

// Logs one message. `file` and `line` are carried but never printed; the
// function name is printed (with ": ") when `showfunc` is nonzero; `suffix`,
// when not null, is appended after ": ". Preserves errno; never fails.
void sshlog(const char *file, const char *func, int line, int showfunc, int level,
            const char *suffix, const char *fmt, ...) __attribute__((format(printf, 7, 8)));
void sshlogv(const char *file, const char *func, int line, int showfunc, int level,
             const char *suffix, const char *fmt, va_list args)
    __attribute__((format(printf, 7, 0)));

// Logs at SSHLOG_FATAL, then _exit(255).
[[noreturn]] void sshfatal(const char *file, const char *func, int line, int showfunc,
                           const char *suffix, const char *fmt, ...)
    __attribute__((format(printf, 6, 7)));

namespace vardek {

// How one message under a caller-chosen function name is printed; the named
// fields stand for sshlog's positional show-function flag, level and suffix.
struct log_opts {
  int level = SSHLOG_ERROR;
  bool show_func = false;        // print the function name and ": " first
  const char *suffix = nullptr;  // appended after ": " (an error code's text)
};

// sshlog under `func`; fatal_at logs at SSHLOG_FATAL (opts.level is not
// used) and ends the process with status 255.
void log_at(const char *file, const char *func, int line, log_opts opts, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));
[[noreturn]] void fatal_at(const char *file, const char *func, int line, log_opts opts,
                           const char *fmt, ...) __attribute__((format(printf, 5, 6)));

}  // namespace vardek

// Logging under a function name other than the caller's own, for helpers
// that speak for the operation that called them:
//   log_as("pkcs11_fetch_keys", {.level = SSHLOG_DEBUG1, .show_func = true}, "have %d keys", n);
//   fatal_as("main", {.show_func = true, .suffix = ssh_err(r)}, "reserve");
#define log_as(func, ...) vardek::log_at(__FILE__, func, __LINE__, __VA_ARGS__)
#define fatal_as(func, ...) vardek::fatal_at(__FILE__, func, __LINE__, __VA_ARGS__)

// Encodes character `c` into `dst` (which must hold at least 5 bytes) as
// vis(3) does for `flags`; writes a terminating NUL and returns the position
// of that NUL. `nextc` is accepted for vis(3) compatibility.
char *vis(char *dst, int c, int flag, int nextc);

// Call-site forms: file, function and line come from the call site.
//   log_<level>(fmt, ...)           no function-name prefix
//   log_<level>_f(fmt, ...)         function-name prefix
//   log_<level>_fr(r, fmt, ...)     prefix and the text of error code r
#define VARDEK_LOG(lvl, showfunc, suffix, ...) \
  sshlog(__FILE__, __func__, __LINE__, showfunc, lvl, suffix, __VA_ARGS__)

#define log_error(...) VARDEK_LOG(SSHLOG_ERROR, 0, nullptr, __VA_ARGS__)
#define log_error_f(...) VARDEK_LOG(SSHLOG_ERROR, 1, nullptr, __VA_ARGS__)
#define log_error_fr(r, ...) VARDEK_LOG(SSHLOG_ERROR, 1, ssh_err(r), __VA_ARGS__)
#define log_info(...) VARDEK_LOG(SSHLOG_INFO, 0, nullptr, __VA_ARGS__)
#define log_info_f(...) VARDEK_LOG(SSHLOG_INFO, 1, nullptr, __VA_ARGS__)
#define log_verbose(...) VARDEK_LOG(SSHLOG_VERBOSE, 0, nullptr, __VA_ARGS__)
#define log_verbose_f(...) VARDEK_LOG(SSHLOG_VERBOSE, 1, nullptr, __VA_ARGS__)
#define log_debug1(...) VARDEK_LOG(SSHLOG_DEBUG1, 0, nullptr, __VA_ARGS__)
#define log_debug1_f(...) VARDEK_LOG(SSHLOG_DEBUG1, 1, nullptr, __VA_ARGS__)
#define log_debug1_fr(r, ...) VARDEK_LOG(SSHLOG_DEBUG1, 1, ssh_err(r), __VA_ARGS__)
#define log_debug2(...) VARDEK_LOG(SSHLOG_DEBUG2, 0, nullptr, __VA_ARGS__)
#define log_debug2_f(...) VARDEK_LOG(SSHLOG_DEBUG2, 1, nullptr, __VA_ARGS__)
#define log_debug3(...) VARDEK_LOG(SSHLOG_DEBUG3, 0, nullptr, __VA_ARGS__)
#define log_debug3_f(...) VARDEK_LOG(SSHLOG_DEBUG3, 1, nullptr, __VA_ARGS__)

#define log_fatal(...) sshfatal(__FILE__, __func__, __LINE__, 0, nullptr, __VA_ARGS__)
#define log_fatal_f(...) sshfatal(__FILE__, __func__, __LINE__, 1, nullptr, __VA_ARGS__)
#define log_fatal_r(r, ...) sshfatal(__FILE__, __func__, __LINE__, 0, ssh_err(r), __VA_ARGS__)
#define log_fatal_fr(r, ...) sshfatal(__FILE__, __func__, __LINE__, 1, ssh_err(r), __VA_ARGS__)

#endif
