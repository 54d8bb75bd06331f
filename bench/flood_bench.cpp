// Floods: 1, 2, 4 and 8 MB of requests written to vardek before any reply is
// read. Reports how long the whole flood takes to be answered and vardek's
// peak resident memory, and checks that every reply arrived, in order.
//
//   bench_flood [MB ...]     (default: 1 2 4 8)
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>
#include <vector>

#include "agentproto/agentproto.h"

namespace {

using vardek::agent::Bytes;

// A sign request for a key nobody loaded (answer 1e) and a remove request
// for a name nobody registered (answer 05), in an irregular mix.
void make_flood(size_t bytes, Bytes &stream, Bytes &expected) {
  Bytes blob;
  vardek::agent::put_string(blob, std::string_view("ssh-ed25519"));
  vardek::agent::put_string(blob, Bytes(32, 0x42));
  const Bytes sign_frame = vardek::agent::sign_request(blob, Bytes{'d', 'a', 't', 'a'});
  const Bytes del_frame = vardek::agent::remove_request("x");
  for (size_t i = 0; stream.size() < bytes; i++) {
    bool is_sign = (i * 2654435761u >> 7) & 1;
    const Bytes &f = is_sign ? sign_frame : del_frame;
    stream.insert(stream.end(), f.begin(), f.end());
    expected.insert(expected.end(), {0, 0, 0, 1, static_cast<uint8_t>(is_sign ? 0x1e : 0x05)});
  }
}

bool write_all(int fd, const uint8_t *p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

struct Result {
  double seconds;
  long peak_rss_kib;
  bool complete;
};

Result run_flood(size_t bytes) {
  Bytes stream, expected;
  make_flood(bytes, stream, expected);
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) {
    perror("pipe");
    exit(1);
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    close(in[0]);
    close(in[1]);
    close(out[0]);
    close(out[1]);
    execl(VARDEK_BIN, VARDEK_BIN, static_cast<char *>(nullptr));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);

  auto start = std::chrono::steady_clock::now();
  // The whole flood goes out before a single reply is read.
  if (!write_all(in[1], stream.data(), stream.size())) {
    fprintf(stderr, "bench_flood: vardek stopped reading\n");
    exit(1);
  }
  Bytes got;
  got.reserve(expected.size());
  uint8_t buf[65536];
  while (got.size() < expected.size()) {
    ssize_t r = read(out[0], buf, sizeof buf);
    if (r <= 0) break;
    got.insert(got.end(), buf, buf + r);
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  close(in[1]);
  close(out[0]);
  int status = 0;
  rusage ru{};
  wait4(pid, &status, 0, &ru);
  bool ok = got == expected && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return {seconds, ru.ru_maxrss, ok};
}

}  // namespace

int main(int argc, char **argv) {
  signal(SIGPIPE, SIG_IGN);
  std::vector<size_t> sizes;
  for (int i = 1; i < argc; i++) sizes.push_back(static_cast<size_t>(atof(argv[i]) * 1e6));
  if (sizes.empty()) sizes = {1000000, 2000000, 4000000, 8000000};
  printf("%-8s %-10s %-12s %-14s %s\n", "MB", "requests", "seconds", "peak RSS MiB", "replies");
  bool all_ok = true;
  for (size_t bytes : sizes) {
    Result r = run_flood(bytes);
    Bytes s, e;
    make_flood(bytes, s, e);
    printf("%-8.1f %-10zu %-12.3f %-14.1f %s\n", bytes / 1e6, e.size() / 5, r.seconds,
           r.peak_rss_kib / 1024.0, r.complete ? "all, in order" : "MISSING OR OUT OF ORDER");
    all_ok = all_ok && r.complete;
  }
  return all_ok ? 0 : 1;
}
