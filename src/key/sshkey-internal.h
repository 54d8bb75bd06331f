// Internals of the key layer: the per-family operation sets and the helpers
// the families share (libcrypto bridge, digests, Ed25519 opening, EC point
// checks). Key sources wipe with util/wipe.h, included here. Only files of
// the key layer and its tests include this header.
#ifndef VARDEK_KEY_SSHKEY_INTERNAL_H
#define VARDEK_KEY_SSHKEY_INTERNAL_H

#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <strings.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "buffer/sshbuf-ptr.h"
#include "buffer/sshbuf.h"
#include "key/sshkey-ptr.h"
#include "key/sshkey.h"
#include "util/wipe.h"

// Type names that carry the vendor domain.
#define VARDEK_KEY_NAME(n) n "@" VARDEK_KEY_DOMAIN

#define SSH_ED25519_NAME "ssh-ed25519"
#define SSH_ECDSA_SK_NAME VARDEK_KEY_NAME("sk-ecdsa-sha2-nistp256")
#define SSH_WEBAUTHN_SK_NAME VARDEK_KEY_NAME("webauthn-sk-ecdsa-sha2-nistp256")
#define SSH_RSA_CERT_NAME VARDEK_KEY_NAME("ssh-rsa-cert-v01")
#define SSH_RSA_SHA256_CERT_NAME VARDEK_KEY_NAME("rsa-sha2-256-cert-v01")
#define SSH_RSA_SHA512_CERT_NAME VARDEK_KEY_NAME("rsa-sha2-512-cert-v01")

// Largest uncompressed point: 0x04 and two 66-byte P-521 coordinates.
#define SSH_EC_POINT_MAX 133
// Largest data a signature is checked over.
#define SSH_KEY_MAX_SIGN_DATA_SIZE (1 << 20)
#define SSH_DIGEST_SHA256_LEN 32

// Operation sets, one per family, each defined in the family's source file.
extern const sshkey_type_ops ssh_rsa_ops;
extern const sshkey_type_ops ssh_dss_ops;
extern const sshkey_type_ops ssh_ecdsa_ops;
extern const sshkey_type_ops ssh_ed25519_ops;
extern const sshkey_type_ops ssh_ecdsa_sk_ops;
extern const sshkey_type_ops ssh_ed25519_sk_ops;
extern const sshkey_type_ops ssh_gss_ops;

// The type table in lookup order; *countp receives the number of rows.
const sshkey_type_info *sshkey_type_table(size_t *countp);

// Base-family operations the security-key families build on.
void ssh_ecdsa_cleanup(sshkey *k);
int ssh_ecdsa_equal(const sshkey *a, const sshkey *b);
int ssh_ecdsa_serialize_public(const sshkey *key, sshbuf *b, int opts);
int ssh_ecdsa_deserialize_public(const char *ktype, sshbuf *b, sshkey *key);
void ssh_ed25519_cleanup(sshkey *k);
int ssh_ed25519_equal(const sshkey *a, const sshkey *b);
int ssh_ed25519_serialize_public(const sshkey *key, sshbuf *b, int opts);
int ssh_ed25519_deserialize_public(const char *ktype, sshbuf *b, sshkey *key);

// "nistp256", "nistp384", "nistp521" for the three curves; null otherwise.
const char *sshkey_curve_nid_to_name(int nid);
// 415, 715, 716 for the three curve names; -1 otherwise.
int sshkey_curve_name_to_nid(const char *name);
// Hash identifier of the curve's signatures (SSH_DIGEST_*), or -1.
int sshkey_ec_nid_to_hash_alg(int nid);
// 0 when `public_key` is a usable point of `group`, else
// SSH_ERR_INVALID_CURVE_VALUE.
[[nodiscard]] int sshkey_ec_validate_public(const EC_GROUP *group, const EC_POINT *public_key);

// The libcrypto bridge of the verify operations.
const EVP_MD *ssh_digest_to_md(int hash_alg);
// Turns the builder's parameters into a new key pair object in *pkeyp.
[[nodiscard]] int sshkey_create_evp(OSSL_PARAM_BLD *param_bld, EVP_PKEY_CTX *ctx, EVP_PKEY **pkeyp);
[[nodiscard]] int ssh_create_evp_rsa(const sshkey *k, EVP_PKEY **pkeyp);
[[nodiscard]] int ssh_create_evp_dss(const sshkey *k, EVP_PKEY **pkeyp);
[[nodiscard]] int ssh_create_evp_ec(EC_KEY *k, int ecdsa_nid, EVP_PKEY **pkeyp);

// SSH_DIGEST_SHA1/256/512 for the RSA signature names, -1 otherwise; the
// keyname form also knows the RSA certificate names.
int rsa_hash_id_from_ident(const char *ident);
int rsa_hash_id_from_keyname(const char *alg);

// Ed25519 verification (RFC 8032) of `sm`, laid out as the 64-byte signature
// followed by the message. On success copies the message into `m` (which
// must hold smlen bytes), sets *mlen and returns 0; non-zero otherwise.
int crypto_sign_ed25519_open(unsigned char *m, unsigned long long *mlen, const unsigned char *sm,
                             unsigned long long smlen, const unsigned char *pk);

#endif
