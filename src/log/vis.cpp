// vis(3): the character encoder the logger escapes messages with.
#include "log/log.h"

namespace {

// Character classes of the "C" locale, independent of the process locale.
bool is_c_graph(int c) { return c >= 0x21 && c <= 0x7e; }
bool is_c_octal_digit(int c) { return c >= '0' && c <= '7'; }

// Backslash-letter form of `c` when VIS_CSTYLE knows one, else 0.
char cstyle_letter(int c) {
  switch (c) {
    case '\n':
      return 'n';
    case '\r':
      return 'r';
    case '\b':
      return 'b';
    case '\a':
      return 'a';
    case '\v':
      return 'v';
    case '\t':
      return 't';
    case '\f':
      return 'f';
    case ' ':
      return 's';
    default:
      return 0;
  }
}

}  // namespace

char *vis(char *dst, int c, int flag, int nextc) {
  c = static_cast<unsigned char>(c);
  // Characters passed through as themselves (a backslash is doubled).
  if (is_c_graph(c) || c == ' ' || (c == '\t' && (flag & VIS_TAB) == 0) ||
      (c == '\n' && (flag & VIS_NL) == 0) ||
      ((flag & VIS_SAFE) != 0 && (c == '\b' || c == '\a' || c == '\r'))) {
    *dst++ = static_cast<char>(c);
    if (c == '\\') *dst++ = '\\';
    *dst = '\0';
    return dst;
  }

  if (flag & VIS_CSTYLE) {
    if (c == '\0') {
      *dst++ = '\\';
      *dst++ = '0';
      // "\0" followed by a digit would read back as a longer octal escape.
      if (is_c_octal_digit(nextc)) {
        *dst++ = '0';
        *dst++ = '0';
      }
      *dst = '\0';
      return dst;
    }
    if (char letter = cstyle_letter(c)) {
      *dst++ = '\\';
      *dst++ = letter;
      *dst = '\0';
      return dst;
    }
  }

  if ((c & 0177) == ' ' || is_c_graph(c) || (flag & VIS_OCTAL)) {
    *dst++ = '\\';
    *dst++ = static_cast<char>(((c >> 6) & 07) + '0');
    *dst++ = static_cast<char>(((c >> 3) & 07) + '0');
    *dst++ = static_cast<char>((c & 07) + '0');
    *dst = '\0';
    return dst;
  }

  // Meta and control notation: \M- for the high bit, \^ for control bytes.
  *dst++ = '\\';
  if (c & 0200) {
    c &= 0177;
    *dst++ = 'M';
  }
  if (c < 0x20 || c == 0177) {
    *dst++ = '^';
    *dst++ = c == 0177 ? '?' : static_cast<char>(c + '@');
  } else {
    *dst++ = '-';
    *dst++ = static_cast<char>(c);
  }
  *dst = '\0';
  return dst;
}
