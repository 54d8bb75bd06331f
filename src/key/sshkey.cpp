// The key model: the ordered type table, the name lookups, construction,
// release and equality. Everything that depends on a key family goes through
// the operation set of the family's row; nothing here knows a family.
#include "key/sshkey.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>

#include "key/sshkey-internal.h"
#include "log/ssherr.h"

namespace {

// Lookup order matters: every lookup takes the first row that fits.
constexpr sshkey_type_info keyimpls[] = {
    {.name = "ssh-ed25519",
     .short_name = "ED25519",
     .cert_sig_alg = nullptr,
     .type = KEY_TYPE_ED25519,
     .nid = 0,
     .is_cert = 0,
     .sig_only = 0,
     .key_bits = 256,
     .ops = &ssh_ed25519_ops},
    {.name = VARDEK_KEY_NAME("ssh-ed25519-cert-v01"),
     .short_name = "ED25519-CERT",
     .cert_sig_alg = nullptr,
     .type = KEY_TYPE_ED25519_CERT,
     .nid = 0,
     .is_cert = 1,
     .sig_only = 0,
     .key_bits = 256,
     .ops = &ssh_ed25519_ops},
    {.name = VARDEK_KEY_NAME("sk-ssh-ed25519"),
     .short_name = "ED25519-SK",
     .cert_sig_alg = nullptr,
     .type = KEY_TYPE_ED25519_SK,
     .nid = 0,
     .is_cert = 0,
     .sig_only = 0,
     .key_bits = 256,
     .ops = &ssh_ed25519_sk_ops},
    {.name = VARDEK_KEY_NAME("sk-ssh-ed25519-cert-v01"),
     .short_name = "ED25519-SK-CERT",
     .cert_sig_alg = nullptr,
     .type = KEY_TYPE_ED25519_SK_CERT,
     .nid = 0,
     .is_cert = 1,
     .sig_only = 0,
     .key_bits = 256,
     .ops = &ssh_ed25519_sk_ops},
    {.name = "ecdsa-sha2-nistp256",
     .short_name = "ECDSA",
     .cert_sig_alg = nullptr,
     .type = KEY_TYPE_ECDSA,
     .nid = 415,
     .is_cert = 0,
     .sig_only = 0,
     .key_bits = 0,
     .ops = &ssh_ecdsa_ops},
    {.name = VARDEK_KEY_NAME("ecdsa-sha2-nistp256-cert-v01"),
     .short_name = "ECDSA-CERT",
     .cert_sig_alg = nullptr,
     .type = KEY_TYPE_ECDSA_CERT,
     .nid = 415,
     .is_cert = 1,
     .sig_only = 0,
     .key_bits = 0,
     .ops = &ssh_ecdsa_ops},
    {.name = "ecdsa-sha2-nistp384",
     .short_name = "ECDSA",
     .cert_sig_alg = nullptr,
     .type = KEY_TYPE_ECDSA,
     .nid = 715,
     .is_cert = 0,
     .sig_only = 0,
     .key_bits = 0,
     .ops = &ssh_ecdsa_ops},
    {.name = VARDEK_KEY_NAME("ecdsa-sha2-nistp384-cert-v01"),
     .short_name = "ECDSA-CERT",
     .cert_sig_alg = nullptr,
     .type = KEY_TYPE_ECDSA_CERT,
     .nid = 715,
     .is_cert = 1,
     .sig_only = 0,
     .key_bits = 0,
     .ops = &ssh_ecdsa_ops},
    {.name = "ecdsa-sha2-nistp521",
     .short_name = "ECDSA",
     .cert_sig_alg = nullptr,
     .type = KEY_TYPE_ECDSA,
     .nid = 716,
     .is_cert = 0,
     .sig_only = 0,
     .key_bits = 0,
     .ops = &ssh_ecdsa_ops},
    {.name = VARDEK_KEY_NAME("ecdsa-sha2-nistp521-cert-v01"),
     .short_name = "ECDSA-CERT",
     .cert_sig_alg = nullptr,
     .type = KEY_TYPE_ECDSA_CERT,
     .nid = 716,
     .is_cert = 1,
     .sig_only = 0,
     .key_bits = 0,
     .ops = &ssh_ecdsa_ops},
    {.name = SSH_ECDSA_SK_NAME,
     .short_name = "ECDSA-SK",
     .cert_sig_alg = nullptr,
     .type = KEY_TYPE_ECDSA_SK,
     .nid = 415,
     .is_cert = 0,
     .sig_only = 0,
     .key_bits = 256,
     .ops = &ssh_ecdsa_sk_ops},
    {.name = VARDEK_KEY_NAME("sk-ecdsa-sha2-nistp256-cert-v01"),
     .short_name = "ECDSA-SK-CERT",
     .cert_sig_alg = nullptr,
     .type = KEY_TYPE_ECDSA_SK_CERT,
     .nid = 415,
     .is_cert = 1,
     .sig_only = 0,
     .key_bits = 256,
     .ops = &ssh_ecdsa_sk_ops},
    {.name = SSH_WEBAUTHN_SK_NAME,
     .short_name = "ECDSA-SK",
     .cert_sig_alg = nullptr,
     .type = KEY_TYPE_ECDSA_SK,
     .nid = 415,
     .is_cert = 0,
     .sig_only = 1,
     .key_bits = 256,
     .ops = &ssh_ecdsa_sk_ops},
    {.name = "ssh-dss",
     .short_name = "DSA",
     .cert_sig_alg = nullptr,
     .type = KEY_TYPE_DSA,
     .nid = 0,
     .is_cert = 0,
     .sig_only = 0,
     .key_bits = 0,
     .ops = &ssh_dss_ops},
    {.name = VARDEK_KEY_NAME("ssh-dss-cert-v01"),
     .short_name = "DSA-CERT",
     .cert_sig_alg = nullptr,
     .type = KEY_TYPE_DSA_CERT,
     .nid = 0,
     .is_cert = 1,
     .sig_only = 0,
     .key_bits = 0,
     .ops = &ssh_dss_ops},
    {.name = "ssh-rsa",
     .short_name = "RSA",
     .cert_sig_alg = nullptr,
     .type = KEY_TYPE_RSA,
     .nid = 0,
     .is_cert = 0,
     .sig_only = 0,
     .key_bits = 0,
     .ops = &ssh_rsa_ops},
    {.name = SSH_RSA_CERT_NAME,
     .short_name = "RSA-CERT",
     .cert_sig_alg = nullptr,
     .type = KEY_TYPE_RSA_CERT,
     .nid = 0,
     .is_cert = 1,
     .sig_only = 0,
     .key_bits = 0,
     .ops = &ssh_rsa_ops},
    {.name = "rsa-sha2-256",
     .short_name = "RSA",
     .cert_sig_alg = nullptr,
     .type = KEY_TYPE_RSA,
     .nid = 0,
     .is_cert = 0,
     .sig_only = 1,
     .key_bits = 0,
     .ops = &ssh_rsa_ops},
    {.name = SSH_RSA_SHA256_CERT_NAME,
     .short_name = "RSA-CERT",
     .cert_sig_alg = "rsa-sha2-256",
     .type = KEY_TYPE_RSA_CERT,
     .nid = 0,
     .is_cert = 1,
     .sig_only = 1,
     .key_bits = 0,
     .ops = &ssh_rsa_ops},
    {.name = "rsa-sha2-512",
     .short_name = "RSA",
     .cert_sig_alg = nullptr,
     .type = KEY_TYPE_RSA,
     .nid = 0,
     .is_cert = 0,
     .sig_only = 1,
     .key_bits = 0,
     .ops = &ssh_rsa_ops},
    {.name = SSH_RSA_SHA512_CERT_NAME,
     .short_name = "RSA-CERT",
     .cert_sig_alg = "rsa-sha2-512",
     .type = KEY_TYPE_RSA_CERT,
     .nid = 0,
     .is_cert = 1,
     .sig_only = 1,
     .key_bits = 0,
     .ops = &ssh_rsa_ops},
    {.name = "null",
     .short_name = "null",
     .cert_sig_alg = nullptr,
     .type = KEY_TYPE_NULL,
     .nid = 0,
     .is_cert = 0,
     .sig_only = 0,
     .key_bits = 0,
     .ops = &ssh_gss_ops},
};
static_assert(std::size(keyimpls) == 22);

// The first row for each type is the one encoders name.
consteval bool first_row_is(int type, int nid, std::string_view name) {
  for (const auto &row : keyimpls) {
    if (row.type == type && (row.nid == 0 || row.nid == nid)) return row.name == name;
  }
  return false;
}
static_assert(first_row_is(KEY_TYPE_RSA, 0, "ssh-rsa"));
static_assert(first_row_is(KEY_TYPE_ECDSA_SK, 415, SSH_ECDSA_SK_NAME));
static_assert(first_row_is(KEY_TYPE_ECDSA, 715, "ecdsa-sha2-nistp384"));

}  // namespace

const sshkey_type_info *sshkey_type_table(size_t *countp) {
  *countp = std::size(keyimpls);
  return keyimpls;
}

const sshkey_type_info *sshkey_type_info_for(int type) {
  for (const auto &row : keyimpls) {
    if (row.type == type) return &row;
  }
  return nullptr;
}

const sshkey_type_info *sshkey_type_info_for_key(const sshkey *k) {
  for (const auto &row : keyimpls) {
    if (row.type == k->type && (row.nid == 0 || row.nid == k->ecdsa_nid)) return &row;
  }
  return nullptr;
}

int sshkey_is_cert_type(int type) {
  const sshkey_type_info *impl = sshkey_type_info_for(type);
  return impl != nullptr && impl->is_cert;
}

int sshkey_type_by_name(const char *name) {
  for (const auto &row : keyimpls) {
    // Short names match only plain rows, in any letter case.
    if (std::strcmp(name, row.name) == 0 || (!row.is_cert && strcasecmp(row.short_name, name) == 0))
      return row.type;
  }
  return KEY_TYPE_UNSPECIFIED;
}

const char *sshkey_name_for_type(int type, int nid) {
  for (const auto &row : keyimpls) {
    if (row.type == type && (row.nid == 0 || row.nid == nid)) return row.name;
  }
  return "ssh-unknown";
}

int sshkey_plain_type(int type) {
  switch (type) {
    case KEY_TYPE_RSA_CERT:
      return KEY_TYPE_RSA;
    case KEY_TYPE_DSA_CERT:
      return KEY_TYPE_DSA;
    case KEY_TYPE_ECDSA_CERT:
      return KEY_TYPE_ECDSA;
    case KEY_TYPE_ED25519_CERT:
      return KEY_TYPE_ED25519;
    case KEY_TYPE_ECDSA_SK_CERT:
      return KEY_TYPE_ECDSA_SK;
    case KEY_TYPE_ED25519_SK_CERT:
      return KEY_TYPE_ED25519_SK;
    default:
      return type;
  }
}

const char *sshkey_ssh_name_plain(int type, int nid) {
  return sshkey_name_for_type(sshkey_plain_type(type), nid);
}

const char *sshkey_short_name(const sshkey *k) {
  if (k == nullptr) return "unknown";
  const sshkey_type_info *impl = sshkey_type_info_for_key(k);
  return impl != nullptr ? impl->short_name : "unknown";
}

namespace {

sshkey_certificate *cert_new() {
  auto *cert = static_cast<sshkey_certificate *>(std::calloc(1, sizeof(sshkey_certificate)));
  if (cert == nullptr) return nullptr;
  cert->cert_blob = sshbuf_new();
  cert->critical_options = sshbuf_new();
  cert->extensions = sshbuf_new();
  if (cert->cert_blob == nullptr || cert->critical_options == nullptr ||
      cert->extensions == nullptr) {
    cert_free(cert);
    return nullptr;
  }
  return cert;
}

}  // namespace

sshkey *sshkey_new(int type) {
  const sshkey_type_info *impl = nullptr;
  if (type != KEY_TYPE_UNSPECIFIED && (impl = sshkey_type_info_for(type)) == nullptr)
    return nullptr;
  auto *k = static_cast<sshkey *>(std::calloc(1, sizeof(sshkey)));
  if (k == nullptr) return nullptr;
  k->type = type;
  k->ecdsa_nid = -1;
  if (impl == nullptr) return k;
  if (impl->ops->alloc != nullptr && impl->ops->alloc(k) != 0) {
    std::free(k);
    return nullptr;
  }
  if (sshkey_is_cert_type(type) && (k->cert = cert_new()) == nullptr) {
    sshkey_free(k);
    return nullptr;
  }
  return k;
}

void cert_free(sshkey_certificate *cert) {
  if (cert == nullptr) return;
  sshbuf_free(cert->cert_blob);
  sshbuf_free(cert->critical_options);
  sshbuf_free(cert->extensions);
  vardek::clear_free_text(cert->key_id);
  if (cert->principals != nullptr) {
    for (uint32_t i = 0; i < cert->principal_count; i++)
      vardek::clear_free_text(cert->principals[i]);
    std::free(cert->principals);
  }
  sshkey_free(cert->signature_key);
  vardek::clear_free_text(cert->signature_type);
  explicit_bzero(cert, sizeof(*cert));
  std::free(cert);
}

void sshkey_free(sshkey *k) {
  if (k == nullptr) return;
  const sshkey_type_info *impl = sshkey_type_info_for(k->type);
  if (impl != nullptr && impl->ops->cleanup != nullptr) impl->ops->cleanup(k);
  if (sshkey_is_cert_type(k->type)) cert_free(k->cert);
  if (k->secret_area != nullptr) {
    explicit_bzero(k->secret_area, k->secret_area_len);
    std::free(k->secret_area);
  }
  if (k->secret_area_key != nullptr) {
    explicit_bzero(k->secret_area_key, k->secret_area_key_len);
    std::free(k->secret_area_key);
  }
  explicit_bzero(k, sizeof(*k));
  std::free(k);
}

namespace {

// Same certificate: both absent, or blobs of equal length and content. The
// content is compared without an early exit.
bool cert_compare(const sshkey_certificate *a, const sshkey_certificate *b) {
  if (a == nullptr && b == nullptr) return true;
  if (a == nullptr || b == nullptr) return false;
  size_t len = sshbuf_len(a->cert_blob);
  if (len != sshbuf_len(b->cert_blob)) return false;
  const unsigned char *pa = sshbuf_ptr(a->cert_blob);
  const unsigned char *pb = sshbuf_ptr(b->cert_blob);
  unsigned char diff = 0;
  for (size_t i = 0; i < len; i++) diff |= static_cast<unsigned char>(pa[i] ^ pb[i]);
  return diff == 0;
}

}  // namespace

int sshkey_equal(const sshkey *a, const sshkey *b) {
  if (a == nullptr || b == nullptr || a->type != b->type) return 0;
  if (sshkey_is_cert_type(a->type) && !cert_compare(a->cert, b->cert)) return 0;
  if (sshkey_plain_type(a->type) != sshkey_plain_type(b->type)) return 0;
  const sshkey_type_info *impl = sshkey_type_info_for(a->type);
  if (impl == nullptr || impl->ops->equal == nullptr) return 0;
  // Only a plain 1 means equal: the null set answers every call with an
  // error code, which must not read as "equal".
  return impl->ops->equal(a, b) == 1;
}
