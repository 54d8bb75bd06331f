// Captures what a piece of in-process code writes to a file descriptor
// (normally 2) by pointing the descriptor at a temporary file meanwhile.
#ifndef VARDEK_TESTS_COMMON_CAPTURE_FD_H
#define VARDEK_TESTS_COMMON_CAPTURE_FD_H

#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace vardek::test {

template <class F>
std::string capture_fd(int fd, F &&body) {
  std::FILE *tmp = std::tmpfile();
  if (tmp == nullptr) throw std::runtime_error("tmpfile");
  int saved = dup(fd);
  if (saved < 0 || dup2(fileno(tmp), fd) < 0) throw std::runtime_error("dup");
  body();
  dup2(saved, fd);
  close(saved);
  std::string out;
  std::rewind(tmp);
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, tmp)) > 0) out.append(buf, n);
  std::fclose(tmp);
  return out;
}

template <class F>
std::string capture_stderr(F &&body) {
  return capture_fd(2, static_cast<F &&>(body));
}

}  // namespace vardek::test

#endif
