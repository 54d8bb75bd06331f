// sshkey: public keys of every SSH key family, the ordered type table with its
// per-family operation sets, equality, and the SSH public key blob format
// (certificates included).
#ifndef VARDEK_KEY_SSHKEY_H
#define VARDEK_KEY_SSHKEY_H

#include <openssl/types.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "buffer/sshbuf.h"

// Vendor domain of the certificate and security-key type names.
#define VARDEK_KEY_DOMAIN "vardek.dev"

enum : int {
  KEY_TYPE_RSA = 0,
  KEY_TYPE_DSA = 1,
  KEY_TYPE_ECDSA = 2,
  KEY_TYPE_ED25519 = 3,
  KEY_TYPE_RSA_CERT = 4,
  KEY_TYPE_DSA_CERT = 5,
  KEY_TYPE_ECDSA_CERT = 6,
  KEY_TYPE_ED25519_CERT = 7,
  KEY_TYPE_ECDSA_SK = 10,
  KEY_TYPE_ECDSA_SK_CERT = 11,
  KEY_TYPE_ED25519_SK = 12,
  KEY_TYPE_ED25519_SK_CERT = 13,
  KEY_TYPE_NULL = 14,
  KEY_TYPE_UNSPECIFIED = 15,
};

#define KEY_FLAG_ON_TOKEN 0x1

#define ED25519_PK_SZ 32
#define ED25519_SK_SZ 64

// Hash identifiers used between verify operations and the digest helpers.
#define SSH_DIGEST_SHA1 1
#define SSH_DIGEST_SHA256 2
#define SSH_DIGEST_SHA384 3
#define SSH_DIGEST_SHA512 4

struct sshkey;

struct sshkey_certificate {
  sshbuf *cert_blob;
  uint32_t cert_type;
  uint64_t serial;
  char *key_id;
  uint32_t principal_count;
  char **principals;
  uint64_t valid_after;
  uint64_t valid_before;
  sshbuf *critical_options;
  sshbuf *extensions;
  sshkey *signature_key;
  char *signature_type;
};
static_assert(std::is_standard_layout_v<sshkey_certificate>);

struct sshkey {
  int type;
  uint32_t flags;
  RSA *rsa;
  DSA *dsa;
  int ecdsa_nid;
  EC_KEY *ecdsa;
  unsigned char *ed25519_secret;
  unsigned char *ed25519_public;
  char *sk_application;
  uint8_t sk_flags;
  sshbuf *sk_key_handle;
  sshbuf *sk_reserved;
  sshkey_certificate *cert;
  unsigned char *secret_area;
  size_t secret_area_len;
  unsigned char *secret_area_key;
  size_t secret_area_key_len;
};
static_assert(std::is_standard_layout_v<sshkey>);

// One operation set per key family. A family's table names only the
// operations it has; the other slots stay null, and every caller tests a slot
// for null before calling through it.
struct sshkey_type_ops {
  unsigned int (*size)(const sshkey *) = nullptr;
  int (*alloc)(sshkey *) = nullptr;
  void (*cleanup)(sshkey *) = nullptr;
  int (*equal)(const sshkey *, const sshkey *) = nullptr;
  int (*serialize_public)(const sshkey *, sshbuf *, int opts) = nullptr;
  int (*deserialize_public)(const char *type_name, sshbuf *, sshkey *) = nullptr;
  int (*serialize_private)(const sshkey *, sshbuf *, int opts) = nullptr;
  int (*deserialize_private)(const char *type_name, sshbuf *, sshkey *) = nullptr;
  int (*generate)(sshkey *, int bits) = nullptr;
  int (*copy_public)(const sshkey *from, sshkey *to) = nullptr;
  int (*sign)(sshkey *, unsigned char **sigp, size_t *lenp, const unsigned char *data,
              size_t datalen, const char *alg, const char *sk_provider, const char *sk_pin,
              unsigned int compat) = nullptr;
  int (*verify)(const sshkey *, const unsigned char *sig, size_t siglen, const unsigned char *data,
                size_t datalen, const char *alg, unsigned int compat, void **detailsp) = nullptr;
};

struct sshkey_type_info {
  const char *name;
  const char *short_name;
  const char *cert_sig_alg;
  int type;
  int nid;
  int is_cert;
  int sig_only;
  int key_bits;
  const sshkey_type_ops *ops;
};

// Table lookups (first match in table order).
const sshkey_type_info *sshkey_type_info_for(int type);
const sshkey_type_info *sshkey_type_info_for_key(const sshkey *k);
int sshkey_is_cert_type(int type);
int sshkey_type_by_name(const char *name);
const char *sshkey_name_for_type(int type, int nid);
int sshkey_plain_type(int type);
const char *sshkey_ssh_name_plain(int type, int nid);
// "unknown" for null or a key without a table row.
const char *sshkey_short_name(const sshkey *k);

// Returns a new key of `type`, or null. Caller frees with sshkey_free.
sshkey *sshkey_new(int type);
// Wipes and releases the key and everything it owns. Null is fine.
void sshkey_free(sshkey *k);
void cert_free(sshkey_certificate *cert);
// Nonzero when both hold the same public key (and the same certificate).
int sshkey_equal(const sshkey *a, const sshkey *b);
// NID of the key's curve (naming an explicit P-256/384/521 group), or -1.
int sshkey_ecdsa_key_to_nid(EC_KEY *k);
// libcrypto's own name, declared here without all of <openssl/ec.h>.
using ECDSA_SIG = struct ECDSA_SIG_st;
// Writes the DER encoding of `sig` (the bytes i2d_ECDSA_SIG writes) to
// `out`, which has room for `outlen` bytes; returns its length, or 0 when it
// does not fit. Signatures of every curve up to P-521 take this path;
// anything larger is left to i2d_ECDSA_SIG, whose template encoder costs
// about ten times as much.
size_t sshkey_ecdsa_sig_to_der(const ECDSA_SIG *sig, unsigned char *out, size_t outlen);

// Blobs. *blobp receives a malloc'd encoding; caller frees.
[[nodiscard]] int to_blob(const sshkey *key, unsigned char **blobp, size_t *lenp, int force_plain);
// Encodes `key` as to_blob does and checks that the blob decodes again, so
// that a key handed to an agent can come back in a request. 0 when it does.
[[nodiscard]] int sshkey_to_offerable_blob(const sshkey *key, unsigned char **blobp, size_t *lenp);
// Decodes the whole rest of `b` as one key; *keyp receives it on success.
[[nodiscard]] int sshkey_from_blob_internal(sshbuf *b, sshkey **keyp, int allow_cert);
[[nodiscard]] int sshkey_check_rsa_length(const sshkey *k);
[[nodiscard]] int sshkey_verify(const sshkey *key, const unsigned char *sig, size_t siglen,
                                const unsigned char *data, size_t dlen);
// "SHA256:" and 43 base64 characters, malloc'd; null on failure.
char *sshkey_fingerprint(const sshkey *k);

// Digest helpers shared by the verify operations and the fingerprint.
// SHA-256 of `m` into `d` (at least 32 bytes of `dlen`).
[[nodiscard]] int ssh_digest_memory(const void *m, size_t mlen, unsigned char *d, size_t dlen);
[[nodiscard]] int sshkey_verify_signature(EVP_PKEY *pkey, int hash_alg, const unsigned char *data,
                                          size_t datalen, const unsigned char *sig, size_t siglen);

#endif
