// Base64 encoding (RFC 4648, section 4) for showing binary values as text.
#include "util/base64.h"

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';

}  // namespace

namespace vardek {

int b64_ntop(const unsigned char *src, size_t srclength, char *target, size_t targsize) {
  size_t datalength = 0;

  while (srclength >= 3) {
    unsigned in0 = src[0], in1 = src[1], in2 = src[2];
    src += 3;
    srclength -= 3;
    if (targsize < 4 || datalength > targsize - 4) return -1;
    target[datalength++] = kBase64[in0 >> 2];
    target[datalength++] = kBase64[((in0 & 0x03) << 4) | (in1 >> 4)];
    target[datalength++] = kBase64[((in1 & 0x0f) << 2) | (in2 >> 6)];
    target[datalength++] = kBase64[in2 & 0x3f];
  }

  if (srclength != 0) {
    unsigned in0 = src[0];
    unsigned in1 = srclength == 2 ? src[1] : 0;
    if (targsize < 4 || datalength > targsize - 4) return -1;
    target[datalength++] = kBase64[in0 >> 2];
    target[datalength++] = kBase64[((in0 & 0x03) << 4) | (in1 >> 4)];
    target[datalength++] = srclength == 1 ? kPad : kBase64[(in1 & 0x0f) << 2];
    target[datalength++] = kPad;
  }

  if (datalength >= targsize) return -1;
  target[datalength] = '\0';
  return static_cast<int>(datalength);
}

}  // namespace vardek
