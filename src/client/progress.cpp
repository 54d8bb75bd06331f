#include "client/progress.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>

namespace vardek::client {

namespace {

long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// Only show a line for waits long enough to be noticed.
constexpr long delay_ms = 1000;

}  // namespace

Progress::Progress(bool enabled, std::string what)
    : enabled_(enabled && isatty(STDERR_FILENO)), what_(std::move(what)), start_ms_(now_ms()) {}

Progress::~Progress() {
  if (drawn_) {
    (void)fputs("\r\033[K", stderr);
    (void)fflush(stderr);
  }
}

void Progress::tick() {
  if (!enabled_) return;
  long elapsed = now_ms() - start_ms_;
  if (elapsed < delay_ms) return;
  static const char spinner[] = "|/-\\";
  (void)fprintf(stderr, "\r\033[K%c %s... %lds", spinner[frame_++ % 4], what_.c_str(),
                elapsed / 1000);
  (void)fflush(stderr);
  drawn_ = true;
}

}  // namespace vardek::client
