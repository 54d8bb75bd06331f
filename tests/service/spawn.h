// A vardek child for the service tests, with its standard error kept in a
// temporary file so a test can read the log after the child is gone.
#ifndef VARDEK_TESTS_SERVICE_SPAWN_H
#define VARDEK_TESTS_SERVICE_SPAWN_H

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "agentproto/agentproto.h"

namespace vardek::test {

struct Vardek {
  agent::Child child;
  std::FILE *err = std::tmpfile();

  Vardek() = default;
  Vardek(const Vardek &) = delete;
  Vardek &operator=(const Vardek &) = delete;
  ~Vardek() {
    if (err != nullptr) std::fclose(err);
  }

  // Starts vardek with `args` after the program path.
  bool start(const std::vector<std::string> &args = {}) {
    std::vector<std::string> argv{VARDEK_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return err != nullptr && child.start(argv, fileno(err));
  }

  // Closes standard input (when still open) and returns the exit status, or
  // -1 when the child did not exit normally.
  int finish(int timeout_ms = 20000) {
    child.close_input();
    int st = child.wait(timeout_ms);
    return st != -1 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }

  // Everything written to standard error so far.
  std::string log() const {
    std::string out;
    std::rewind(err);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, err)) > 0) out.append(buf, n);
    return out;
  }
};

// "00 00 00 01 05" style rendering of a whole reply frame.
inline agent::Bytes framed(const agent::Reply &r) {
  agent::Bytes body{r.type};
  body.insert(body.end(), r.body.begin(), r.body.end());
  return agent::frame(body);
}

}  // namespace vardek::test

#endif
