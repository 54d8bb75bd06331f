// Internal to the logger: builds the escaped text of one log call, so the
// text that would reach syslog can be checked without a syslog daemon.
#ifndef VARDEK_LOG_LOG_COMPOSE_H
#define VARDEK_LOG_LOG_COMPOSE_H

#include <cstdarg>
#include <cstddef>

namespace vardek {

// Size of each working buffer of a log call; at most 1023 characters of a
// message survive each step.
inline constexpr size_t LOG_MSG_SIZE = 1024;
// The caller's format with the function name in front.
inline constexpr size_t LOG_FMT_SIZE = 1152;

// Escapes `src` with vis(3) `flags` into `dst` (of `dstsize` bytes), stopping
// before the first character whose escape would not fit whole. Returns the
// length written; `dst` is always NUL-terminated when `dstsize` > 0.
size_t log_escape(char *dst, size_t dstsize, const char *src, int flags);

// Composes the escaped line body of one message for the given mode
// (`to_stderr` nonzero: standard-error rules, else syslog rules) into
// `encoded`, which must hold LOG_MSG_SIZE bytes. No threshold test here.
void log_compose(char *encoded, const char *func, int showfunc, int level, int to_stderr,
                 const char *suffix, const char *fmt, va_list args)
    __attribute__((format(printf, 7, 0)));

}  // namespace vardek

#endif
