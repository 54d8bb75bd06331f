// sshbuf codec for multiple-precision integers (SSH mpint) as BIGNUMs.
#include <openssl/bn.h>

#include <cstddef>
#include <cstring>

#include "buffer/sshbuf-private.h"
#include "buffer/sshbuf.h"
#include "log/ssherr.h"
#include "util/ossl_ptr.h"
#include "util/wipe.h"

int sshbuf_get_bignum2(sshbuf *buf, BIGNUM **valp) {
  if (valp != nullptr) *valp = nullptr;
  const unsigned char *d;
  size_t len;
  if (int r = sshbuf_peek_string_direct(buf, &d, &len); r != 0) return r;
  const size_t wire_len = len;
  if (len > 0 && (d[0] & 0x80) != 0) return SSH_ERR_BIGNUM_NEGATIVE;
  // One leading 0x00 may pad a full-size magnitude whose top bit is set.
  if (len > SSHBUF_MAX_BIGNUM + 1 || (len == SSHBUF_MAX_BIGNUM + 1 && d[0] != 0)) {
    return SSH_ERR_BIGNUM_TOO_LARGE;
  }
  // Non-minimal encodings are accepted: any number of leading zeros.
  while (len > 0 && d[0] == 0) {
    d++;
    len--;
  }
  if (vardek::sshbuf_take(buf, 4 + wire_len, nullptr) != 0) return SSH_ERR_UNEXPECTED_INTERNAL;
  if (valp == nullptr) return 0;
  vardek::unique_ptr<BIGNUM> v(BN_new());
  if (v == nullptr || BN_bin2bn(d, static_cast<int>(len), v.get()) == nullptr) {
    return SSH_ERR_ALLOCATION_FAILED;
  }
  *valp = v.release();
  return 0;
}

int sshbuf_put_bignum2(sshbuf *buf, const BIGNUM *v) {
  vardek::sshbuf_require_sane(buf);
  if (v == nullptr) return SSH_ERR_INVALID_ARGUMENT;
  const int bits = BN_num_bits(v);
  if (bits > SSHBUF_MAX_BIGNUM * 8) return SSH_ERR_INVALID_ARGUMENT;
  // The wire form has no sign: a negative number would go out as its
  // magnitude and read back as a different value.
  if (BN_is_negative(v)) return SSH_ERR_INVALID_ARGUMENT;

  unsigned char d[SSHBUF_MAX_BIGNUM + 1];
  vardek::scope_exit wipe_d([&d] { explicit_bzero(d, sizeof(d)); });
  const int len = (bits + 7) / 8;
  d[0] = 0x00;
  if (BN_bn2bin(v, d + 1) != len) return SSH_ERR_UNEXPECTED_INTERNAL;
  // A magnitude whose top bit is set gets a 0x00 in front; zero is empty.
  const int prepend = len > 0 && (d[1] & 0x80) != 0;
  return sshbuf_put_string(buf, d + 1 - prepend,
                           static_cast<size_t>(len) + static_cast<size_t>(prepend));
}
