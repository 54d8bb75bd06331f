// A progress line on standard error while vardek waits on a slow token.
#ifndef VARDEK_CLIENT_PROGRESS_H
#define VARDEK_CLIENT_PROGRESS_H

#include <string>

namespace vardek::client {

class Progress {
 public:
  // Shows nothing unless `enabled` and standard error is a terminal.
  Progress(bool enabled, std::string what);
  Progress(const Progress &) = delete;
  Progress &operator=(const Progress &) = delete;
  // Clears the line if one was drawn.
  ~Progress();
  // Redraws the line (spinner and elapsed seconds) once a second has passed.
  void tick();

 private:
  bool enabled_;
  bool drawn_ = false;
  std::string what_;
  long start_ms_;
  unsigned frame_ = 0;
};

}  // namespace vardek::client

#endif
