// Byte strings written as readable hex in tests: "00 00 00 01 05"_hex.
#ifndef VARDEK_TESTS_COMMON_BYTES_H
#define VARDEK_TESTS_COMMON_BYTES_H

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vardek::test {

using Bytes = std::vector<uint8_t>;

inline Bytes from_hex(std::string_view s) {
  Bytes out;
  int hi = -1;
  for (char c : s) {
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else if (c == ' ' || c == '\n' || c == ':')
      continue;
    else
      throw std::invalid_argument("bad hex");
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<uint8_t>(hi << 4 | v));
      hi = -1;
    }
  }
  if (hi >= 0) throw std::invalid_argument("odd hex");
  return out;
}

inline std::string to_hex(const uint8_t *p, size_t n) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < n; i++) {
    std::snprintf(buf, sizeof buf, i ? " %02x" : "%02x", p[i]);
    s += buf;
  }
  return s;
}
inline std::string to_hex(const Bytes &b) { return to_hex(b.data(), b.size()); }

inline Bytes from_text(std::string_view s) { return Bytes(s.begin(), s.end()); }

}  // namespace vardek::test

inline vardek::test::Bytes operator""_hex(const char *s, size_t n) {
  return vardek::test::from_hex(std::string_view(s, n));
}

#endif
