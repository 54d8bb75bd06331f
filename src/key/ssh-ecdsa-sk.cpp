#define OPENSSL_SUPPRESS_DEPRECATED
// Security-key ECDSA keys on P-256: the ECDSA public fields plus an
// application string, and signatures made by an authenticator, either plain
// or wrapped in WebAuthn client data.
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/objects.h>

#include <cstdlib>
#include <cstring>

#include "key/ssh-sk-common.h"
#include "key/sshkey-internal.h"
#include "log/ssherr.h"
#include "util/base64.h"
#include "util/ossl_legacy_ptr.h"
#include "util/ossl_ptr.h"

// Authenticator flags that matter for verification.
#define SSH_SK_FLAG_ATTESTED 0x40
#define SSH_SK_FLAG_EXTENSION_DATA 0x80

namespace {

// Checks that WebAuthn client data begins with the text a browser writes for
// a request whose challenge is `m`:
//   {"type":"webauthn.get","challenge":"<m, base64url>","origin":"<origin>"
int webauthn_check_prepare_hash(const unsigned char *data, size_t datalen, const char *origin,
                                const sshbuf *wrapper, uint8_t flags, const sshbuf *extensions,
                                unsigned char *msghash, size_t msghashlen) {
  if (std::strchr(origin, '"') != nullptr || (flags & SSH_SK_FLAG_ATTESTED) != 0)
    return SSH_ERR_INVALID_FORMAT;
  // Extension data is flagged exactly when there is some.
  if (((flags & SSH_SK_FLAG_EXTENSION_DATA) != 0) != (sshbuf_len(extensions) != 0))
    return SSH_ERR_INVALID_FORMAT;

  size_t enclen = (datalen + 2) / 3 * 4 + 1;
  vardek::malloc_ptr<char> m64(static_cast<char *>(std::calloc(1, enclen)));
  if (m64 == nullptr) return SSH_ERR_ALLOCATION_FAILED;
  if (vardek::b64_ntop(data, datalen, m64.get(), enclen) == -1) return SSH_ERR_UNEXPECTED_INTERNAL;
  // base64url without padding
  for (size_t n = std::strlen(m64.get()); n >= 2 && m64.get()[n - 1] == '='; n--)
    m64.get()[n - 1] = '\0';
  for (char *p = m64.get(); *p != '\0'; p++) {
    if (*p == '+') *p = '-';
    if (*p == '/') *p = '_';
  }

  vardek::unique_ptr<sshbuf> chall(sshbuf_new());
  if (chall == nullptr) return SSH_ERR_ALLOCATION_FAILED;
  static constexpr char kHead[] = "{\"type\":\"webauthn.get\",\"challenge\":\"";
  static constexpr char kOrigin[] = "\",\"origin\":\"";
  int r;
  if ((r = sshbuf_put(chall.get(), kHead, sizeof(kHead) - 1)) != 0 ||
      (r = sshbuf_put(chall.get(), m64.get(), std::strlen(m64.get()))) != 0 ||
      (r = sshbuf_put(chall.get(), kOrigin, sizeof(kOrigin) - 1)) != 0 ||
      (r = sshbuf_put(chall.get(), origin, std::strlen(origin))) != 0 ||
      (r = sshbuf_put(chall.get(), "\"", 1)) != 0)
    return r;

  size_t plen = sshbuf_len(chall.get());
  if (sshbuf_len(wrapper) < plen) return SSH_ERR_INCOMPLETE_MESSAGE;
  if (CRYPTO_memcmp(sshbuf_ptr(chall.get()), sshbuf_ptr(wrapper), plen) != 0)
    return SSH_ERR_INVALID_FORMAT;
  return ssh_digest_memory(sshbuf_ptr(wrapper), sshbuf_len(wrapper), msghash, msghashlen);
}

// What the authenticator signed, hashed once more: application hash, flags,
// counter, extensions (WebAuthn only) and the message hash.
int sk_signed_hash(const sshkey *key, uint8_t flags, uint32_t counter, const sshbuf *extensions,
                   const ssh_sk_digest &msghash, ssh_sk_digest &sighash) {
  ssh_sk_digest apphash;
  if (int r = ssh_sk_application_hash(key, apphash); r != 0) return r;
  vardek::unique_ptr<sshbuf> original(sshbuf_new());
  if (original == nullptr) return SSH_ERR_ALLOCATION_FAILED;
  if (int r = ssh_sk_put_signed_data(original.get(), apphash, flags, counter, extensions, msghash);
      r != 0)
    return r;
  return ssh_digest_memory(sshbuf_ptr(original.get()), sshbuf_len(original.get()), sighash.p,
                           sighash.len);
}

int ssh_ecdsa_sk_verify(const sshkey *key, const unsigned char *sig, size_t siglen,
                        const unsigned char *data, size_t dlen, const char * /*alg*/,
                        unsigned int /*compat*/, void ** /*detailsp*/) {
  if (key == nullptr || key->ecdsa == nullptr || sig == nullptr || siglen == 0 ||
      sshkey_plain_type(key->type) != KEY_TYPE_ECDSA_SK)
    return SSH_ERR_INVALID_ARGUMENT;
  if (key->ecdsa_nid != NID_X9_62_prime256v1) return SSH_ERR_UNEXPECTED_INTERNAL;
  // The application is hashed into what the authenticator signed.
  if (key->sk_application == nullptr) return SSH_ERR_INVALID_ARGUMENT;

  vardek::unique_ptr<sshbuf> b(sshbuf_from(sig, siglen));
  if (b == nullptr) return SSH_ERR_ALLOCATION_FAILED;
  char *raw = nullptr;
  if (sshbuf_get_cstring(b.get(), &raw, nullptr) != 0) return SSH_ERR_INVALID_FORMAT;
  vardek::malloc_ptr<char> ktype(raw);
  bool is_webauthn = std::strcmp(ktype.get(), SSH_WEBAUTHN_SK_NAME) == 0;
  if (!is_webauthn && std::strcmp(ktype.get(), SSH_ECDSA_SK_NAME) != 0)
    return SSH_ERR_INVALID_FORMAT;

  sshbuf *raw_buf = nullptr;
  uint8_t sig_flags = 0;
  uint32_t sig_counter = 0;
  if (sshbuf_froms(b.get(), &raw_buf) != 0) return SSH_ERR_INVALID_FORMAT;
  vardek::unique_ptr<sshbuf> sigbuf(raw_buf);
  if (ssh_sk_get_flags_counter(b.get(), &sig_flags, &sig_counter) != 0)
    return SSH_ERR_INVALID_FORMAT;
  vardek::malloc_ptr<char> origin;
  vardek::unique_ptr<sshbuf> webauthn_wrapper, webauthn_exts;
  if (is_webauthn) {
    if (sshbuf_get_cstring(b.get(), &raw, nullptr) != 0) return SSH_ERR_INVALID_FORMAT;
    origin.reset(raw);
    if (sshbuf_froms(b.get(), &raw_buf) != 0) return SSH_ERR_INVALID_FORMAT;
    webauthn_wrapper.reset(raw_buf);
    if (sshbuf_froms(b.get(), &raw_buf) != 0) return SSH_ERR_INVALID_FORMAT;
    webauthn_exts.reset(raw_buf);
  }
  if (sshbuf_len(b.get()) != 0) return SSH_ERR_TRAILING_BYTES;

  BIGNUM *raw_r = nullptr, *raw_s = nullptr;
  if (sshbuf_get_bignum2(sigbuf.get(), &raw_r) != 0) return SSH_ERR_INVALID_FORMAT;
  vardek::unique_ptr<BIGNUM> sig_r(raw_r);
  if (sshbuf_get_bignum2(sigbuf.get(), &raw_s) != 0) return SSH_ERR_INVALID_FORMAT;
  vardek::unique_ptr<BIGNUM> sig_s(raw_s);
  if (sshbuf_len(sigbuf.get()) != 0) return SSH_ERR_TRAILING_BYTES;
  vardek::unique_ptr<ECDSA_SIG> esig(ECDSA_SIG_new());
  if (esig == nullptr) return SSH_ERR_ALLOCATION_FAILED;
  if (ECDSA_SIG_set0(esig.get(), sig_r.get(), sig_s.get()) != 1) return SSH_ERR_LIBCRYPTO_FAILED;
  (void)sig_r.release();  // now owned by the ECDSA_SIG
  (void)sig_s.release();

  ssh_sk_digest msghash, sighash;
  int r = is_webauthn
              ? webauthn_check_prepare_hash(data, dlen, origin.get(), webauthn_wrapper.get(),
                                            sig_flags, webauthn_exts.get(), msghash.p, msghash.len)
              : ssh_digest_memory(data, dlen, msghash.p, msghash.len);
  if (r != 0) return r;
  if ((r = sk_signed_hash(key, sig_flags, sig_counter, is_webauthn ? webauthn_exts.get() : nullptr,
                          msghash, sighash)) != 0)
    return r;
  switch (ECDSA_do_verify(sighash.p, sighash.len, esig.get(), key->ecdsa)) {
    case 1:
      return 0;
    case 0:
      return SSH_ERR_INCORRECT_SIGNATURE;
    default:
      return SSH_ERR_LIBCRYPTO_FAILED;
  }
}

}  // namespace

const sshkey_type_ops ssh_ecdsa_sk_ops = {
    .cleanup = ssh_sk_cleanup<ssh_ecdsa_cleanup>,
    .equal = ssh_sk_equal<ssh_ecdsa_equal>,
    .serialize_public = ssh_sk_serialize_public<ssh_ecdsa_serialize_public>,
    .deserialize_public = ssh_sk_deserialize_public<ssh_ecdsa_deserialize_public>,
    .verify = ssh_ecdsa_sk_verify,
};
