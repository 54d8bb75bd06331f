#ifndef VARDEK_UTIL_BASE64_H
#define VARDEK_UTIL_BASE64_H

#include <cstddef>

namespace vardek {

// Standard base64 with "=" padding and a terminating NUL. Returns the number
// of characters written, or -1 when `target` cannot hold them and the NUL.
int b64_ntop(const unsigned char *src, size_t srclength, char *target, size_t targsize);

}  // namespace vardek

#endif
