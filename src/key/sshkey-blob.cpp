// SSH public key blobs: encoding keys, decoding them (certificates included,
// whose signature must check out), and the SHA-256 fingerprint text.
#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>

#include "key/sshkey-internal.h"
#include "key/sshkey.h"
#include "log/log.h"
#include "log/ssherr.h"
#include "util/base64.h"
#include "util/recallocarray.h"

// Most principals a certificate may name.
#define SSHKEY_CERT_MAX_PRINCIPALS 256

int to_blob(const sshkey *key, unsigned char **blobp, size_t *lenp, int force_plain) {
  if (blobp != nullptr) *blobp = nullptr;
  if (lenp != nullptr) *lenp = 0;
  vardek::unique_ptr<sshbuf> b(sshbuf_new());
  if (b == nullptr) return SSH_ERR_ALLOCATION_FAILED;
  if (key == nullptr) return SSH_ERR_INVALID_ARGUMENT;

  int type = force_plain ? sshkey_plain_type(key->type) : key->type;
  int r;
  if (sshkey_is_cert_type(type)) {
    // A certificate goes out exactly as it came in.
    if (key->cert == nullptr) return SSH_ERR_PLAIN_KEY_GIVEN;
    if (sshbuf_len(key->cert->cert_blob) == 0) return SSH_ERR_NO_CERT_DATA;
    if ((r = sshbuf_putb(b.get(), key->cert->cert_blob)) != 0) return r;
  } else {
    const sshkey_type_info *impl = sshkey_type_info_for(type);
    if (impl == nullptr || impl->ops->serialize_public == nullptr)
      return SSH_ERR_UNSUPPORTED_KEY_TYPE;
    if ((r = sshbuf_put_cstring(b.get(), sshkey_name_for_type(type, key->ecdsa_nid))) != 0 ||
        (r = impl->ops->serialize_public(key, b.get(), 0)) != 0)
      return r;
  }

  size_t len = sshbuf_len(b.get());
  if (blobp != nullptr) {
    auto *blob = static_cast<unsigned char *>(std::malloc(len));
    if (blob == nullptr) return SSH_ERR_ALLOCATION_FAILED;
    std::memcpy(blob, sshbuf_ptr(b.get()), len);
    *blobp = blob;
  }
  if (lenp != nullptr) *lenp = len;
  return 0;
}

int sshkey_verify(const sshkey *key, const unsigned char *sig, size_t siglen,
                  const unsigned char *data, size_t dlen) {
  if (key == nullptr || sig == nullptr || siglen == 0 || dlen > SSH_KEY_MAX_SIGN_DATA_SIZE)
    return SSH_ERR_INVALID_ARGUMENT;
  if (EVP_default_properties_is_fips_enabled(nullptr) &&
      (key->type == KEY_TYPE_ED25519_SK || key->type == KEY_TYPE_ED25519_SK_CERT)) {
    log_info_f("Ed25519 keys are not allowed in FIPS mode");
    return SSH_ERR_INVALID_ARGUMENT;
  }
  const sshkey_type_info *impl = sshkey_type_info_for_key(key);
  if (impl == nullptr || impl->ops->verify == nullptr) return SSH_ERR_UNSUPPORTED_KEY_TYPE;
  return impl->ops->verify(key, sig, siglen, data, dlen, nullptr, 0, nullptr);
}

namespace {

// Skips (name, data) string pairs to the end of `b`.
int check_option_pairs(sshbuf *b) {
  while (sshbuf_len(b) != 0) {
    if (sshbuf_get_string_direct(b, nullptr, nullptr) != 0 ||
        sshbuf_get_string_direct(b, nullptr, nullptr) != 0)
      return SSH_ERR_INVALID_FORMAT;
  }
  return 0;
}

int read_principals(sshbuf *principals, sshkey_certificate *cert) {
  while (sshbuf_len(principals) != 0) {
    if (cert->principal_count >= SSHKEY_CERT_MAX_PRINCIPALS) return SSH_ERR_INVALID_FORMAT;
    char *principal = nullptr;
    if (sshbuf_get_cstring(principals, &principal, nullptr) != 0) return SSH_ERR_INVALID_FORMAT;
    auto **grown = static_cast<char **>(recallocarray(cert->principals, cert->principal_count,
                                                      cert->principal_count + 1, sizeof(char *)));
    if (grown == nullptr) {
      std::free(principal);
      return SSH_ERR_ALLOCATION_FAILED;
    }
    cert->principals = grown;
    cert->principals[cert->principal_count++] = principal;
  }
  return 0;
}

// Reads the certificate fields that follow the public key, checks them and
// verifies the signature over everything before the signature field.
// `whole` is the complete blob as received.
int cert_parse(sshbuf *b, sshkey *key, const sshbuf *whole) {
  sshkey_certificate *cert = key->cert;
  int r;
  if ((r = sshbuf_putb(cert->cert_blob, whole)) != 0) return r;

  sshbuf *raw_principals = nullptr, *raw_crit = nullptr, *raw_exts = nullptr;
  sshbuf *raw_ca = nullptr;
  vardek::unique_ptr<sshbuf> principals, crit, exts, ca;
  vardek::wiped_bytes<> sig;
  if (sshbuf_get_u64(b, &cert->serial) != 0 || sshbuf_get_u32(b, &cert->cert_type) != 0 ||
      sshbuf_get_cstring(b, &cert->key_id, nullptr) != 0 || sshbuf_froms(b, &raw_principals) != 0)
    return SSH_ERR_INVALID_FORMAT;
  principals.reset(raw_principals);
  if (sshbuf_get_u64(b, &cert->valid_after) != 0 || sshbuf_get_u64(b, &cert->valid_before) != 0 ||
      sshbuf_froms(b, &raw_crit) != 0)
    return SSH_ERR_INVALID_FORMAT;
  crit.reset(raw_crit);
  if (sshbuf_froms(b, &raw_exts) != 0) return SSH_ERR_INVALID_FORMAT;
  exts.reset(raw_exts);
  if (sshbuf_get_string_direct(b, nullptr, nullptr) != 0 || sshbuf_froms(b, &raw_ca) != 0)
    return SSH_ERR_INVALID_FORMAT;
  ca.reset(raw_ca);
  // Everything up to the signature field is signed.
  size_t signed_len = sshbuf_len(cert->cert_blob) - sshbuf_len(b);
  if (sshbuf_get_string(b, &sig.p, &sig.len) != 0) return SSH_ERR_INVALID_FORMAT;

  if (cert->cert_type != 1 && cert->cert_type != 2) return SSH_ERR_UNSUPPORTED_CERT_TYPE;
  if ((r = read_principals(principals.get(), cert)) != 0) return r;

  if ((r = sshbuf_putb(cert->critical_options, crit.get())) != 0 ||
      (r = sshbuf_putb(cert->extensions, exts.get())) != 0)
    return r;
  if (check_option_pairs(crit.get()) != 0) {
    sshbuf_reset(cert->critical_options);
    return SSH_ERR_INVALID_FORMAT;
  }
  if (check_option_pairs(exts.get()) != 0) {
    sshbuf_reset(cert->extensions);
    return SSH_ERR_INVALID_FORMAT;
  }

  // The signer is a plain key; a certificate cannot sign a certificate.
  if (sshkey_from_blob_internal(ca.get(), &cert->signature_key, 0) != 0)
    return SSH_ERR_INVALID_CERT_SIGNER;
  const sshkey_type_info *ca_impl = sshkey_type_info_for(cert->signature_key->type);
  if (ca_impl == nullptr || ca_impl->is_cert) return SSH_ERR_INVALID_CERT_SIGNER;

  if ((r = sshkey_verify(cert->signature_key, sig.p, sig.len, sshbuf_ptr(cert->cert_blob),
                         signed_len)) != 0)
    return r;

  vardek::unique_ptr<sshbuf> sigview(sshbuf_from(sig.p, sig.len));
  if (sigview == nullptr) return SSH_ERR_ALLOCATION_FAILED;
  return sshbuf_get_cstring(sigview.get(), &cert->signature_type, nullptr);
}

}  // namespace

int sshkey_from_blob_internal(sshbuf *b, sshkey **keyp, int allow_cert) {
  if (keyp != nullptr) *keyp = nullptr;
  // A view of the whole blob: a certificate keeps a copy of it.
  vardek::unique_ptr<sshbuf> whole(sshbuf_from(sshbuf_ptr(b), sshbuf_len(b)));
  if (whole == nullptr) return SSH_ERR_ALLOCATION_FAILED;

  char *raw_type = nullptr;
  if (sshbuf_get_cstring(b, &raw_type, nullptr) != 0) return SSH_ERR_INVALID_FORMAT;
  vardek::malloc_ptr<char> ktype(raw_type);
  int type = sshkey_type_by_name(ktype.get());
  if (!allow_cert && sshkey_is_cert_type(type)) return SSH_ERR_INVALID_CERT_SIGNER;
  const sshkey_type_info *impl = sshkey_type_info_for(type);
  if (impl == nullptr || impl->ops->deserialize_public == nullptr)
    return SSH_ERR_UNSUPPORTED_KEY_TYPE;
  vardek::unique_ptr<sshkey> key(sshkey_new(type));
  if (key == nullptr) return SSH_ERR_ALLOCATION_FAILED;

  int r;
  // The nonce of a certificate is not kept.
  if (sshkey_is_cert_type(type) && sshbuf_get_string_direct(b, nullptr, nullptr) != 0)
    return SSH_ERR_INVALID_FORMAT;
  if ((r = impl->ops->deserialize_public(ktype.get(), b, key.get())) != 0) return r;
  if (sshkey_is_cert_type(key->type) && (r = cert_parse(b, key.get(), whole.get())) != 0) return r;
  if (sshbuf_len(b) != 0) return SSH_ERR_INVALID_FORMAT;
  if (keyp != nullptr) *keyp = key.release();
  return 0;
}

char *sshkey_fingerprint(const sshkey *k) {
  static constexpr char kPrefix[] = "SHA256:";
  vardek::wiped_bytes<> blob;
  if (to_blob(k, &blob.p, &blob.len, 1) != 0) return nullptr;
  vardek::wiped_bytes<SSH_DIGEST_SHA256_LEN> digest;
  unsigned int dlen = 0;
  if (EVP_Digest(blob.p, blob.len, digest.p, &dlen, EVP_sha256(), nullptr) != 1 ||
      dlen != digest.len)
    return nullptr;
  // "SHA256:" and 44 base64 characters with the NUL; the padding goes.
  constexpr size_t rlen = sizeof(kPrefix) - 1 + 44 + 1;
  static_assert(rlen == 52);
  auto *ret = static_cast<char *>(std::calloc(1, rlen));
  if (ret == nullptr) return nullptr;
  std::memcpy(ret, kPrefix, sizeof(kPrefix) - 1);
  if (vardek::b64_ntop(digest.p, digest.len, ret + sizeof(kPrefix) - 1,
                       rlen - (sizeof(kPrefix) - 1)) == -1) {
    std::free(ret);
    return nullptr;
  }
  if (char *pad = std::strchr(ret, '='); pad != nullptr) *pad = '\0';
  return ret;
}

int sshkey_to_offerable_blob(const sshkey *key, unsigned char **blobp, size_t *lenp) {
  *blobp = nullptr;
  *lenp = 0;
  unsigned char *blob = nullptr;
  size_t len = 0;
  int r = to_blob(key, &blob, &len, 0);
  if (r != 0) return r;
  vardek::malloc_ptr<unsigned char> owner(blob);
  vardek::unique_ptr<sshbuf> view(sshbuf_from(blob, len));
  if (view == nullptr) return SSH_ERR_ALLOCATION_FAILED;
  sshkey *back = nullptr;
  if ((r = sshkey_from_blob_internal(view.get(), &back, 1)) != 0) return r;
  sshkey_free(back);
  *blobp = owner.release();
  *lenp = len;
  return 0;
}
