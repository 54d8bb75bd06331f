// The call log: one line per Cryptoki call, appended to the file named by
// VARDEK_MOCK_LOG. The file is opened for every line so that a line is on
// disk before the call returns, even if the process dies right after.
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "mock_internal.h"

namespace vardek::mock {

void call_log(const char *fmt, ...) {
  const char *path = std::getenv("VARDEK_MOCK_LOG");
  if (path == nullptr || *path == '\0') return;
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  if (n < 0) {
    va_end(ap2);
    return;
  }
  std::string line(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(line.data(), line.size(), fmt, ap2);
  va_end(ap2);
  line.back() = '\n';
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const char *p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t w = write(fd, p, left);
    if (w <= 0) break;
    p += w;
    left -= static_cast<size_t>(w);
  }
  close(fd);
}

}  // namespace vardek::mock
