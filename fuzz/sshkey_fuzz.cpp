// Decodes arbitrary bytes as a public key blob, certificates allowed. The
// decoder must never crash or leak, and a failed decode leaves no key. What
// decodes must encode again:
//  - a certificate goes out exactly as it came in;
//  - a plain key goes out with the encoder's type name and, for the families
//    without integers (ECDSA, Ed25519 and their security-key forms), with the
//    very field bytes it came with (mpints may arrive with leading zeros),
//    except that a text field (curve name, application) may have come with
//    one terminating NUL, which the text reader accepts and drops;
//  - encoding is stable: the encoded blob decodes to an equal key that
//    encodes to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "buffer/sshbuf.h"
#include "key/sshkey.h"

namespace {

sshkey *decode(const uint8_t *data, size_t size) {
  static const uint8_t empty = 0;
  sshbuf *b = sshbuf_from(size != 0 ? data : &empty, size);
  if (b == nullptr) abort();
  sshkey *k = reinterpret_cast<sshkey *>(1);
  int r = sshkey_from_blob_internal(b, &k, 1);
  sshbuf_free(b);
  if ((r == 0) != (k != nullptr)) abort();
  return k;
}

bool same(const uint8_t *a, size_t alen, const uint8_t *b, size_t blen) {
  return alen == blen && (alen == 0 || std::memcmp(a, b, alen) == 0);
}

// Splits wire strings; false when the bytes are not a whole number of them.
bool split_strings(const uint8_t *p, size_t n,
                   std::vector<std::pair<const uint8_t *, size_t>> &out) {
  while (n > 0) {
    if (n < 4) return false;
    size_t len = size_t{p[0]} << 24 | size_t{p[1]} << 16 | size_t{p[2]} << 8 | size_t{p[3]};
    if (len > n - 4) return false;
    out.emplace_back(p + 4, len);
    p += 4 + len;
    n -= 4 + len;
  }
  return true;
}

// The fields as they went out equal the fields as they came in, but for one
// terminating NUL that a text field may have carried on the way in.
bool same_fields(const uint8_t *in, size_t inlen, const uint8_t *out, size_t outlen) {
  if (same(in, inlen, out, outlen)) return true;
  std::vector<std::pair<const uint8_t *, size_t>> a, b;
  if (!split_strings(in, inlen, a) || !split_strings(out, outlen, b) || a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); i++) {
    auto [ip, il] = a[i];
    auto [op, ol] = b[i];
    if (same(ip, il, op, ol)) continue;
    if (il != ol + 1 || ip[ol] != 0 || !same(ip, ol, op, ol) || std::memchr(op, 0, ol) != nullptr)
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  sshkey *k = decode(data, size);
  if (k == nullptr) return 0;
  unsigned char *blob = nullptr;
  size_t len = 0;
  if (to_blob(k, &blob, &len, 0) != 0) abort();

  if (sshkey_is_cert_type(k->type)) {
    if (!same(blob, len, data, size)) abort();
  } else {
    const char *name = sshkey_name_for_type(k->type, k->ecdsa_nid);
    size_t out_name = std::strlen(name);
    size_t in_name =
        size_t{data[0]} << 24 | size_t{data[1]} << 16 | size_t{data[2]} << 8 | size_t{data[3]};
    if (len < 4 + out_name || std::memcmp(blob + 4, name, out_name) != 0) abort();
    int plain = sshkey_plain_type(k->type);
    if (plain != KEY_TYPE_RSA && plain != KEY_TYPE_DSA &&
        !same_fields(data + 4 + in_name, size - 4 - in_name, blob + 4 + out_name,
                     len - 4 - out_name))
      abort();
  }

  sshkey *k2 = decode(blob, len);
  if (k2 == nullptr || !sshkey_equal(k, k2)) abort();
  unsigned char *blob2 = nullptr;
  size_t len2 = 0;
  if (to_blob(k2, &blob2, &len2, 0) != 0 || !same(blob, len, blob2, len2)) abort();
  free(blob2);
  free(blob);
  sshkey_free(k2);
  sshkey_free(k);
  return 0;
}
