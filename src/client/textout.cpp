#include "client/textout.h"

namespace vardek::client {

namespace {

// Length of the well-formed UTF-8 sequence at s[i], or 0.
size_t utf8_len(std::string_view s, size_t i) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  size_t n;
  unsigned lo = 0x80, hi = 0xbf;
  if (c < 0x80) return 1;
  if (c >= 0xc2 && c <= 0xdf) {
    n = 2;
  } else if (c >= 0xe0 && c <= 0xef) {
    n = 3;
    if (c == 0xe0) lo = 0xa0;
    if (c == 0xed) hi = 0x9f;
  } else if (c >= 0xf0 && c <= 0xf4) {
    n = 4;
    if (c == 0xf0) lo = 0x90;
    if (c == 0xf4) hi = 0x8f;
  } else {
    return 0;
  }
  if (s.size() - i < n) return 0;
  if (b(i + 1) < lo || b(i + 1) > hi) return 0;
  for (size_t k = 2; k < n; k++)
    if (b(i + k) < 0x80 || b(i + k) > 0xbf) return 0;
  return n;
}

// Appends `prefix` and `digits` lower-case hexadecimal digits of `v`.
void append_hex(std::string &out, const char *prefix, int digits, unsigned v) {
  static const char hex[] = "0123456789abcdef";
  out += prefix;
  for (int i = digits - 1; i >= 0; i--) out += hex[(v >> (4 * i)) & 0xf];
}

}  // namespace

std::string printable(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = utf8_len(s, i);
    if (n == 0 || c < 0x20 || c == 0x7f || c == '\\') {
      append_hex(out, "\\x", 2, c);
      i++;
    } else {
      out.append(s.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string json_string(std::string_view s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = utf8_len(s, i);
    if (n == 0) {
      out += "\\ufffd";
      i++;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c == 0x7f) {
      append_hex(out, "\\u", 4, c);
    } else {
      out.append(s.substr(i, n));
    }
    i += n;
  }
  return out + "\"";
}

}  // namespace vardek::client
