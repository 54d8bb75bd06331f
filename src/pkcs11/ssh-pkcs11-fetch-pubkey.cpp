#define OPENSSL_SUPPRESS_DEPRECATED
// Builders that turn one token object (an RSA or EC public key, or an X.509
// certificate) into a token-bound sshkey. Attribute values are read in two
// passes, lengths first, and no length the token reports is trusted further
// than the buffer it sized.
#include <openssl/err.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "key/sshkey.h"
#include "log/log.h"
#include "pkcs11/ssh-pkcs11-attr.h"
#include "pkcs11/ssh-pkcs11-internal.h"
#include "util/ossl_legacy_ptr.h"
#include "util/xmalloc.h"

namespace {

// Every builder reads CKA_ID and CKA_LABEL first: the wraps keep them.
constexpr attr_row kRsaRows[] = {
    {CKA_ID, false}, {CKA_LABEL, false}, {CKA_MODULUS, true}, {CKA_PUBLIC_EXPONENT, true}};
constexpr attr_row kEcRows[] = {
    {CKA_ID, false}, {CKA_LABEL, false}, {CKA_EC_POINT, true}, {CKA_EC_PARAMS, true}};
constexpr attr_row kCertRows[] = {
    {CKA_ID, false}, {CKA_LABEL, true}, {CKA_SUBJECT, true}, {CKA_VALUE, true}};

const unsigned char *bytes_of(const CK_ATTRIBUTE &a) {
  return static_cast<const unsigned char *>(a.pValue);
}

// A new key of `type` holding `rsa` or `ec` (taken over), marked as living
// on a token. Null (and the object freed) when no key can be made.
sshkey *make_key(const char *context, vardek::unique_ptr<RSA> rsa, vardek::unique_ptr<EC_KEY> ec,
                 int nid) {
  sshkey *key = sshkey_new(KEY_TYPE_UNSPECIFIED);
  if (key == nullptr) {
    log_as(context, {.level = SSHLOG_ERROR}, "sshkey_new failed");
    return nullptr;
  }
  if (rsa) {
    key->type = KEY_TYPE_RSA;
    key->rsa = rsa.release();
  } else {
    key->type = KEY_TYPE_ECDSA;
    key->ecdsa_nid = nid;
    key->ecdsa = ec.release();
  }
  key->flags |= KEY_FLAG_ON_TOKEN;
  return key;
}

sshkey *wrap_rsa(const char *context, pkcs11_provider *p, CK_ULONG slotidx, const attr_table &r,
                 vardek::unique_ptr<RSA> rsa) {
  if (pkcs11_rsa_wrap(p, slotidx, &r[CKA_ID], &r[CKA_LABEL], rsa.get()) != 0) return nullptr;
  return make_key(context, std::move(rsa), nullptr, -1);
}

sshkey *wrap_ec(const char *context, pkcs11_provider *p, CK_ULONG slotidx, const attr_table &r,
                vardek::unique_ptr<EC_KEY> ec) {
  int nid = sshkey_ecdsa_key_to_nid(ec.get());
  if (nid < 0) {
    log_as(context, {.level = SSHLOG_ERROR}, "couldn't get curve nid");
    return nullptr;
  }
  if (pkcs11_ecdsa_wrap(p, slotidx, &r[CKA_ID], &r[CKA_LABEL], ec.get()) != 0) return nullptr;
  return make_key(context, nullptr, std::move(ec), nid);
}

}  // namespace

sshkey *pkcs11_fetch_rsa_pubkey(pkcs11_provider *p, CK_ULONG slotidx, CK_OBJECT_HANDLE obj) {
  attr_table r(kRsaRows);
  if (!r.read(__func__, p, slotidx, obj)) return nullptr;

  vardek::unique_ptr<RSA> rsa(RSA_new());
  if (!rsa) {
    log_error("RSA_new failed");
    return nullptr;
  }
  const CK_ATTRIBUTE &modulus = r[CKA_MODULUS], &exponent = r[CKA_PUBLIC_EXPONENT];
  vardek::unique_ptr<BIGNUM> n(
      BN_bin2bn(bytes_of(modulus), static_cast<int>(modulus.ulValueLen), nullptr));
  vardek::unique_ptr<BIGNUM> e(
      BN_bin2bn(bytes_of(exponent), static_cast<int>(exponent.ulValueLen), nullptr));
  if (!n || !e) {
    log_error("BN_bin2bn failed");
    return nullptr;
  }
  if (RSA_set0_key(rsa.get(), n.get(), e.get(), nullptr) != 1) log_fatal_f("set key");
  // RSA_set0_key took n and e over.
  (void)n.release();
  (void)e.release();
  return wrap_rsa(__func__, p, slotidx, r, std::move(rsa));
}

sshkey *pkcs11_fetch_ecdsa_pubkey(pkcs11_provider *p, CK_ULONG slotidx, CK_OBJECT_HANDLE obj) {
  attr_table r(kEcRows);
  if (!r.read(__func__, p, slotidx, obj)) return nullptr;

  vardek::unique_ptr<EC_KEY> ec(EC_KEY_new());
  if (!ec) {
    log_error("EC_KEY_new failed");
    return nullptr;
  }
  const unsigned char *params = bytes_of(r[CKA_EC_PARAMS]);
  vardek::unique_ptr<EC_GROUP> group(
      d2i_ECPKParameters(nullptr, &params, static_cast<long>(r[CKA_EC_PARAMS].ulValueLen)));
  if (!group) {
    ossl_error("d2i_ECPKParameters failed");
    return nullptr;
  }
  if (EC_KEY_set_group(ec.get(), group.get()) != 1) {
    ossl_error("EC_KEY_set_group failed");
    return nullptr;
  }
  if (r[CKA_EC_POINT].ulValueLen <= 2) {
    log_error("CKA_EC_POINT too small");
    return nullptr;
  }
  const unsigned char *point = bytes_of(r[CKA_EC_POINT]);
  vardek::unique_ptr<ASN1_OCTET_STRING> octet(
      d2i_ASN1_OCTET_STRING(nullptr, &point, static_cast<long>(r[CKA_EC_POINT].ulValueLen)));
  if (!octet) {
    ossl_error("d2i_ASN1_OCTET_STRING failed");
    return nullptr;
  }
  const unsigned char *data = ASN1_STRING_get0_data(octet.get());
  EC_KEY *ecp = ec.get();
  if (o2i_ECPublicKey(&ecp, &data, ASN1_STRING_length(octet.get())) == nullptr) {
    ossl_error("o2i_ECPublicKey failed");
    return nullptr;
  }
  return wrap_ec(__func__, p, slotidx, r, std::move(ec));
}

sshkey *pkcs11_fetch_x509_pubkey(pkcs11_provider *p, CK_ULONG slotidx, CK_OBJECT_HANDLE obj,
                                 char **subjectp) {
  *subjectp = nullptr;
  attr_table r(kCertRows);
  if (!r.read(__func__, p, slotidx, obj)) return nullptr;

  const unsigned char *cp = bytes_of(r[CKA_SUBJECT]);
  vardek::unique_ptr<X509_NAME> name(
      d2i_X509_NAME(nullptr, &cp, static_cast<long>(r[CKA_SUBJECT].ulValueLen)));
  char *oneline = name ? X509_NAME_oneline(name.get(), nullptr, 0) : nullptr;
  *subjectp = xstrdup(oneline != nullptr ? oneline : "invalid subject");
  OPENSSL_free(oneline);
  ERR_clear_error();

  cp = bytes_of(r[CKA_VALUE]);
  vardek::unique_ptr<X509> x509(d2i_X509(nullptr, &cp, static_cast<long>(r[CKA_VALUE].ulValueLen)));
  if (!x509) {
    log_error("d2i_x509 failed");
    return nullptr;
  }
  vardek::unique_ptr<EVP_PKEY> evp(X509_get_pubkey(x509.get()));
  if (!evp) {
    log_error("X509_get_pubkey failed");
    return nullptr;
  }
  switch (EVP_PKEY_get_base_id(evp.get())) {
    case EVP_PKEY_RSA: {
      const RSA *rsa = EVP_PKEY_get0_RSA(evp.get());
      if (rsa == nullptr) {
        log_error("invalid x509; no rsa key");
        return nullptr;
      }
      vardek::unique_ptr<RSA> copy(RSAPublicKey_dup(rsa));
      if (!copy) {
        log_error("RSAPublicKey_dup failed");
        return nullptr;
      }
      return wrap_rsa(__func__, p, slotidx, r, std::move(copy));
    }
    case EVP_PKEY_EC: {
      const EC_KEY *ec = EVP_PKEY_get0_EC_KEY(evp.get());
      if (ec == nullptr) {
        log_error("invalid x509; no ec key");
        return nullptr;
      }
      vardek::unique_ptr<EC_KEY> copy(EC_KEY_dup(ec));
      if (!copy) {
        log_error("EC_KEY_dup failed");
        return nullptr;
      }
      return wrap_ec(__func__, p, slotidx, r, std::move(copy));
    }
    default:
      log_error("unknown certificate key type");
      return nullptr;
  }
}
