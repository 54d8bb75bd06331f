// Reads a fuzz input front to back; past its end every byte reads as zero,
// so a short input is still a whole, if dull, test case.
#ifndef VARDEK_FUZZ_FUZZ_INPUT_H
#define VARDEK_FUZZ_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vardek::fuzz {

struct Reader {
  const uint8_t *p;
  size_t n;
  uint8_t u8() {
    if (n == 0) return 0;
    n--;
    return *p++;
  }
  uint16_t u16() {
    const uint8_t hi = u8();
    return static_cast<uint16_t>(hi << 8 | u8());
  }
  // Up to `len` bytes: fewer when the input runs out.
  std::vector<uint8_t> bytes(size_t len) {
    if (len > n) len = n;
    std::vector<uint8_t> b(p, p + len);
    p += len;
    n -= len;
    return b;
  }
};

}  // namespace vardek::fuzz

#endif
