// bench_floor_poll: the floor of a request loop over the agent's pipes. A
// poll() loop like vardek's that reads length-framed requests from standard
// input and answers every sign request (13) with a sign response (14)
// carrying 256 bytes, as vardek answers for an RSA-2048 key, and anything
// else with a failure (5). No key, no token, no parsing beyond the frame:
// what is left is the cost of the pipes, the system calls and the framing.
#include <poll.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

uint32_t get_u32(const uint8_t *p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void put_u32(std::vector<uint8_t> &b, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
}

}  // namespace

int main() {
  std::vector<uint8_t> in, out, sign_reply, failure{0, 0, 0, 1, 5};
  put_u32(sign_reply, 1 + 4 + 256);
  sign_reply.push_back(14);
  put_u32(sign_reply, 256);
  sign_reply.insert(sign_reply.end(), 256, 0x5a);
  uint8_t buf[16384];
  for (;;) {
    pollfd pfd[2] = {{0, POLLIN, 0}, {1, static_cast<short>(out.empty() ? 0 : POLLOUT), 0}};
    if (poll(pfd, 2, -1) < 0) return 1;
    if ((pfd[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      ssize_t n = read(0, buf, sizeof buf);
      if (n <= 0) return n == 0 ? 0 : 1;
      in.insert(in.end(), buf, buf + n);
    }
    if ((pfd[1].revents & POLLOUT) != 0) {
      ssize_t n = write(1, out.data(), out.size());
      if (n < 0) return 1;
      out.erase(out.begin(), out.begin() + n);
    }
    size_t off = 0;
    while (in.size() - off >= 4 && in.size() - off - 4 >= get_u32(&in[off])) {
      uint32_t len = get_u32(&in[off]);
      const std::vector<uint8_t> &reply = len > 0 && in[off + 4] == 13 ? sign_reply : failure;
      out.insert(out.end(), reply.begin(), reply.end());
      off += 4 + len;
    }
    in.erase(in.begin(), in.begin() + static_cast<long>(off));
  }
}
