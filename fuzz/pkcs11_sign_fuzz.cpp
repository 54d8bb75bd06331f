#define OPENSSL_SUPPRESS_DEPRECATED  // RSA_public_decrypt, ECDSA_do_verify on sshkey's keys
// Fuzz target for the sign path over a token whose C_Sign answers are
// hostile. Each run adds the fuzz module's real keys (RSA-2048, P-256, P-384,
// P-521) with an add request, sends up to eight sign requests through
// process(), each after telling the module how its C_Sign answers, and
// removes the provider again. Per request the input gives (missing bytes
// read as zero):
//
//   u8 key        % 4
//   u8 token      bit 0 C_SignInit fails, bit 1 no CKA_SIGN on the private
//                 keys, bit 2 the keys need a context-specific login
//   u8 rv         below 0xa0 CKR_OK, else an error from kErrors
//   u8 content    % 3 (see vardek_fuzz_p11_sign_answer), u8 width
//   u16 n, bytes  raw content or xor mask (n % 600)
//   u8 length     % 5: the content's, the content's + delta, a huge value
//                 (u8 picks it), a u16, the caller's buffer + 1
//   i8 delta
//   u16 data      length (% 520) of the data to sign; the bytes are a
//                 pattern seeded by the key byte
//
// Properties: every request gets exactly one reply, a sign response (14) or
// a sign failure (30). A token error or a C_Sign never reached gives 30. A
// real signature, answered in full, gives 14 with a signature that verifies
// against the key (RSA: PKCS#1 recovers the data; ECDSA: the DER verifies).
// Any other 14 carries exactly what the token left in the buffer: the same
// bytes for RSA, the DER of its r||s halves for ECDSA. No signing operation
// is left active except after CKR_BUFFER_TOO_SMALL. The provider removes
// cleanly, finalising the module, and nothing leaks.
#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/rsa.h>
#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "buffer/sshbuf.h"
#include "fuzz_input.h"
#include "fuzz_module.h"
#include "key/sshkey.h"
#include "log/log.h"
#include "pkcs11/ssh-pkcs11.h"
#include "service/key_list.h"
#include "service/vardek.h"

namespace {

using vardek::fuzz::check;
using Bytes = std::vector<uint8_t>;

constexpr unsigned long kErrors[] = {
    CKR_GENERAL_ERROR,   CKR_BUFFER_TOO_SMALL,   CKR_DATA_LEN_RANGE,         CKR_DEVICE_ERROR,
    CKR_FUNCTION_FAILED, CKR_USER_NOT_LOGGED_IN, CKR_SESSION_HANDLE_INVALID, CKR_VENDOR_DEFINED};
constexpr unsigned long kHuge[] = {~0UL, 0xffffffffUL, 0x100000000UL, 0x80000000UL};

using vardek::fuzz::Reader;

void put_u32(Bytes &b, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
}

void put_string(Bytes &b, const uint8_t *p, size_t n) {
  put_u32(b, static_cast<uint32_t>(n));
  b.insert(b.end(), p, p + n);
}

// Sends one request body through process() and returns the body of the one
// reply it must produce.
Bytes round_trip(const Bytes &body) {
  sshbuf_reset(iqueue);
  sshbuf_reset(oqueue);
  Bytes frame;
  put_string(frame, body.data(), body.size());
  check(sshbuf_put(iqueue, frame.data(), frame.size()) == 0, "sshbuf_put");
  check(frame_pending() != 0, "frame not pending");
  process();
  check(sshbuf_len(iqueue) == 0, "request not consumed");
  const uint8_t *o = sshbuf_ptr(oqueue);
  const size_t olen = sshbuf_len(oqueue);
  check(olen >= 5, "no reply");
  const size_t len = size_t{o[0]} << 24 | size_t{o[1]} << 16 | size_t{o[2]} << 8 | o[3];
  check(len + 4 == olen, "not exactly one reply");
  return Bytes(o + 4, o + olen);
}

struct TokenKey {
  Bytes blob;
  sshkey *key = nullptr;
};

// Adds the module's keys; fills keys[] by their labels "key N".
void add_provider(const std::string &path, TokenKey (&keys)[VARDEK_FUZZ_P11_KEYS]) {
  Bytes body{20};
  put_string(body, reinterpret_cast<const uint8_t *>(path.data()), path.size());
  put_string(body, reinterpret_cast<const uint8_t *>("1234"), 4);
  Bytes reply = round_trip(body);
  sshbuf *b = sshbuf_from(reply.data(), reply.size());
  check(b != nullptr, "sshbuf_from");
  uint8_t type = 0;
  uint32_t n = 0;
  check(sshbuf_get_u8(b, &type) == 0 && type == 12, "add not answered with keys");
  check(sshbuf_get_u32(b, &n) == 0 && n == VARDEK_FUZZ_P11_KEYS, "key count");
  for (uint32_t i = 0; i < n; i++) {
    const unsigned char *blob = nullptr;
    size_t blen = 0;
    char *label = nullptr;
    check(sshbuf_get_string_direct(b, &blob, &blen) == 0 &&
              sshbuf_get_cstring(b, &label, nullptr) == 0,
          "key entry");
    check(std::strncmp(label, "key ", 4) == 0 && label[4] >= '0' &&
              label[4] < '0' + VARDEK_FUZZ_P11_KEYS && label[5] == '\0',
          "key label");
    TokenKey &k = keys[label[4] - '0'];
    free(label);
    check(k.key == nullptr, "label twice");
    k.blob.assign(blob, blob + blen);
    sshbuf *view = sshbuf_from(blob, blen);
    check(view != nullptr && sshkey_from_blob_internal(view, &k.key, 0) == 0, "key blob");
    sshbuf_free(view);
  }
  check(sshbuf_len(b) == 0, "trailing bytes in the add reply");
  sshbuf_free(b);
}

void remove_provider(const std::string &path) {
  Bytes body{21};
  put_string(body, reinterpret_cast<const uint8_t *>(path.data()), path.size());
  put_string(body, nullptr, 0);
  check(round_trip(body) == Bytes{6}, "remove not answered with success");
}

bool rsa_verifies(const sshkey *k, const Bytes &sig, const Bytes &data) {
  Bytes out(static_cast<size_t>(RSA_size(k->rsa)));
  int n = RSA_public_decrypt(static_cast<int>(sig.size()), sig.data(), out.data(), k->rsa,
                             RSA_PKCS1_PADDING);
  return n >= 0 && static_cast<size_t>(n) == data.size() &&
         (n == 0 || std::memcmp(out.data(), data.data(), data.size()) == 0);
}

ECDSA_SIG *ecdsa_decode(const Bytes &sig) {
  const unsigned char *p = sig.data();
  ECDSA_SIG *s = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(sig.size()));
  if (s != nullptr && p != sig.data() + sig.size()) {
    ECDSA_SIG_free(s);
    return nullptr;
  }
  return s;
}

// The ECDSA signature is the DER of the halves the token left in its buffer.
bool ecdsa_is_halves(const Bytes &sig, const vardek_fuzz_p11_signed &got) {
  ECDSA_SIG *s = ecdsa_decode(sig);
  if (s == nullptr || got.nbuffer % 2 != 0) {
    ECDSA_SIG_free(s);
    return false;
  }
  const int half = static_cast<int>(got.nbuffer / 2);
  BIGNUM *r = BN_bin2bn(got.buffer, half, nullptr);
  BIGNUM *t = BN_bin2bn(got.buffer + half, half, nullptr);
  bool same = r != nullptr && t != nullptr && BN_cmp(r, ECDSA_SIG_get0_r(s)) == 0 &&
              BN_cmp(t, ECDSA_SIG_get0_s(s)) == 0;
  BN_free(r);
  BN_free(t);
  ECDSA_SIG_free(s);
  return same;
}

bool ecdsa_verifies(const sshkey *k, const Bytes &sig, const Bytes &data) {
  ECDSA_SIG *s = ecdsa_decode(sig);
  bool ok =
      s != nullptr && ECDSA_do_verify(data.data(), static_cast<int>(data.size()), s, k->ecdsa) == 1;
  ECDSA_SIG_free(s);
  return ok;
}

void sign_once(const vardek::fuzz::Module &m, Reader &in, const TokenKey (&keys)[4]) {
  const TokenKey &key = keys[in.u8() % VARDEK_FUZZ_P11_KEYS];
  const uint8_t token = in.u8();
  vardek_fuzz_p11_sign_answer a{};
  a.fail_sign_init = token & 1;
  a.no_sign_attr = (token >> 1) & 1;
  a.always_auth = (token >> 2) & 1;
  const uint8_t rv = in.u8();
  a.rv = rv < 0xa0 ? CKR_OK : kErrors[rv % (sizeof(kErrors) / sizeof(kErrors[0]))];
  a.content = in.u8() % 3;
  a.width = in.u8();
  const Bytes bytes = in.bytes(in.u16() % 600);
  a.bytes = bytes.data();
  a.nbytes = bytes.size();
  switch (in.u8() % 5) {
    case 0:
      break;
    case 1: {
      a.length = 2;  // resolved below, once the content length is known
      break;
    }
    case 2:
      a.length = 1;
      a.reported = kHuge[in.u8() % 4];
      break;
    case 3:
      a.length = 1;
      a.reported = in.u16();
      break;
    default:
      a.length = 3;
      break;
  }
  const int8_t delta = static_cast<int8_t>(in.u8());
  Bytes data(in.u16() % 520);
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i * 31 + token);

  // Lengths relative to what the module will write or be offered.
  const bool rsa = key.key->type == KEY_TYPE_RSA;
  const size_t real =
      rsa ? static_cast<size_t>(RSA_size(key.key->rsa))
          : 2 * ((static_cast<size_t>(EC_GROUP_order_bits(EC_KEY_get0_group(key.key->ecdsa))) + 7) /
                 8);
  const size_t offered = rsa ? real : static_cast<size_t>(ECDSA_size(key.key->ecdsa));
  if (a.length == 2 || a.length == 3) {
    size_t content_len = a.content == 1           ? bytes.size()
                         : a.content == 2 && !rsa ? 2 * size_t{a.width}
                                                  : real;
    a.reported = a.length == 2 ? static_cast<unsigned long>(static_cast<long>(content_len) + delta)
                               : offered + 1;
    a.length = 1;
  }
  m.set_sign_answer(&a);

  Bytes body{13};
  put_string(body, key.blob.data(), key.blob.size());
  put_string(body, data.data(), data.size());
  put_u32(body, 0);
  const Bytes reply = round_trip(body);

  vardek_fuzz_p11_signed got{};
  m.get_signed(&got);
  check(reply[0] == 14 || reply[0] == 30, "reply type");
  if (reply[0] == 30) {
    check(reply.size() == 1, "trailing bytes in the failure");
    check(!got.genuine, "a real signature was refused");
  } else {
    sshbuf *b = sshbuf_from(reply.data() + 1, reply.size() - 1);
    const unsigned char *p = nullptr;
    size_t n = 0;
    check(b != nullptr && sshbuf_get_string_direct(b, &p, &n) == 0 && sshbuf_len(b) == 0,
          "sign response layout");
    const Bytes sig(p, p + n);
    sshbuf_free(b);
    check(got.called && got.rv == CKR_OK, "signature without a successful C_Sign");
    check(got.reported <= got.offered, "signature longer than the buffer accepted");
    if (rsa) {
      check(sig == Bytes(got.buffer, got.buffer + got.nbuffer), "RSA signature not the token's");
      if (got.genuine) check(rsa_verifies(key.key, sig, data), "RSA signature does not verify");
    } else {
      check(ecdsa_is_halves(sig, got), "ECDSA signature not the token's r||s");
      if (got.genuine) check(ecdsa_verifies(key.key, sig, data), "ECDSA signature does not verify");
    }
  }
  vardek_fuzz_p11_state st{};
  m.get_state(&st);
  check(!st.find_active, "search left active");
  check(!st.sign_active || (got.called && got.rv == CKR_BUFFER_TOO_SMALL),
        "signing operation left active");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const vardek::fuzz::Module &m = []() -> const vardek::fuzz::Module & {
    log_init_handler("pkcs11_sign_fuzz", SSHLOG_QUIET, 1);
    key_list_init();
    pkcs11_init(0);
    iqueue = sshbuf_new();
    oqueue = sshbuf_new();
    check(iqueue != nullptr && oqueue != nullptr, "queues");
    const vardek::fuzz::Module &r = vardek::fuzz::module();
    check(r.set_keys() == 0, "fuzz module key files");
    return r;
  }();
  static const std::string path = m.path;

  TokenKey keys[VARDEK_FUZZ_P11_KEYS];
  add_provider(path, keys);
  Reader in{data, size};
  for (int i = 0; i < 8 && in.n > 0; i++) sign_once(m, in, keys);
  remove_provider(path);
  check(key_list_count() == 0, "keys left in the list");
  vardek_fuzz_p11_state st{};
  m.get_state(&st);
  check(!st.initialized, "module not finalised after remove");
  for (auto &k : keys) sshkey_free(k.key);
  return 0;
}
