// Key and certificate material of the mock token: public attributes derived
// from PEM key files and X.509 files, and real signatures made with libcrypto.
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "mock_internal.h"

namespace vardek::mock {

namespace {

struct BioFree {
  void operator()(BIO *b) const noexcept { BIO_free(b); }
};
struct PkeyFree {
  void operator()(EVP_PKEY *k) const noexcept { EVP_PKEY_free(k); }
};
struct CtxFree {
  void operator()(EVP_PKEY_CTX *c) const noexcept { EVP_PKEY_CTX_free(c); }
};
struct BnFree {
  void operator()(BIGNUM *b) const noexcept { BN_free(b); }
};
struct X509Free {
  void operator()(X509 *x) const noexcept { X509_free(x); }
};
struct OctetFree {
  void operator()(ASN1_OCTET_STRING *o) const noexcept { ASN1_OCTET_STRING_free(o); }
};
struct SigFree {
  void operator()(ECDSA_SIG *s) const noexcept { ECDSA_SIG_free(s); }
};

bool read_file(const std::string &path, Bytes &out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), {});
  return true;
}

bool bn_param(EVP_PKEY *key, const char *name, Bytes &out) {
  BIGNUM *raw = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) return false;
  std::unique_ptr<BIGNUM, BnFree> bn(raw);
  out.resize(static_cast<size_t>(BN_num_bytes(bn.get())));
  BN_bn2bin(bn.get(), out.data());
  return true;
}

// DER of a value produced by one of libcrypto's i2d functions.
template <class T>
bool to_der_const(const T *obj, int (*i2d)(const T *, unsigned char **), Bytes &out) {
  int n = i2d(obj, nullptr);
  if (n <= 0) return false;
  out.resize(static_cast<size_t>(n));
  unsigned char *p = out.data();
  return i2d(obj, &p) == n;
}

bool ec_attributes(EVP_PKEY *key, Object &obj, std::string &err) {
  char group[80];
  size_t glen = 0;
  if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &glen) !=
      1) {
    err = "EC key without a named curve";
    return false;
  }
  int nid = OBJ_sn2nid(group);
  if (nid == NID_undef) nid = OBJ_txt2nid(group);
  ASN1_OBJECT *oid = nid == NID_undef ? nullptr : OBJ_nid2obj(nid);
  Bytes params;
  if (oid == nullptr || !to_der_const(oid, i2d_ASN1_OBJECT, params)) {
    err = std::string("cannot encode curve ") + group;
    return false;
  }
  // The uncompressed point, wrapped in an OCTET STRING as PKCS#11 stores it.
  EVP_PKEY_set_utf8_string_param(key, OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT,
                                 OSSL_PKEY_EC_POINT_CONVERSION_FORMAT_UNCOMPRESSED);
  unsigned char point[200];
  size_t plen = 0;
  if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &plen) !=
      1) {
    err = "cannot read the EC public point";
    return false;
  }
  std::unique_ptr<ASN1_OCTET_STRING, OctetFree> os(ASN1_OCTET_STRING_new());
  Bytes wrapped;
  if (!os || ASN1_OCTET_STRING_set(os.get(), point, static_cast<int>(plen)) != 1 ||
      !to_der_const(os.get(), i2d_ASN1_OCTET_STRING, wrapped)) {
    err = "cannot wrap the EC point";
    return false;
  }
  obj.attrs[CKA_KEY_TYPE] = ulong_bytes(CKK_EC);
  obj.attrs[CKA_EC_PARAMS] = params;
  obj.attrs[CKA_EC_POINT] = wrapped;
  return true;
}

}  // namespace

bool key_attributes(const std::string &path, bool keep_private, Object &obj, std::string &err) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new_file(path.c_str(), "r"));
  if (!bio) {
    err = "cannot open key file " + path;
    return false;
  }
  std::unique_ptr<EVP_PKEY, PkeyFree> key(
      PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  if (!key && !keep_private) {
    // A public key file serves a public-key object as well.
    BIO_reset(bio.get());
    key.reset(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  }
  if (!key) {
    err = "cannot read a key from " + path;
    return false;
  }
  switch (EVP_PKEY_get_base_id(key.get())) {
    case EVP_PKEY_RSA: {
      Bytes n, e;
      if (!bn_param(key.get(), OSSL_PKEY_PARAM_RSA_N, n) ||
          !bn_param(key.get(), OSSL_PKEY_PARAM_RSA_E, e)) {
        err = "cannot read the RSA public values of " + path;
        return false;
      }
      obj.attrs[CKA_KEY_TYPE] = ulong_bytes(CKK_RSA);
      obj.attrs[CKA_MODULUS] = n;
      obj.attrs[CKA_PUBLIC_EXPONENT] = e;
      obj.attrs[CKA_MODULUS_BITS] =
          ulong_bytes(static_cast<CK_ULONG>(EVP_PKEY_get_bits(key.get())));
      break;
    }
    case EVP_PKEY_EC:
      if (!ec_attributes(key.get(), obj, err)) {
        err += " (" + path + ")";
        return false;
      }
      break;
    default:
      err = "unsupported key type in " + path;
      return false;
  }
  if (keep_private) obj.key.reset(key.release(), PkeyFree());
  return true;
}

bool cert_attributes(const std::string &path, Object &obj, std::string &err) {
  Bytes raw;
  if (!read_file(path, raw)) {
    err = "cannot open certificate file " + path;
    return false;
  }
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(raw.data(), static_cast<int>(raw.size())));
  std::unique_ptr<X509, X509Free> cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!cert) {
    const unsigned char *p = raw.data();
    cert.reset(d2i_X509(nullptr, &p, static_cast<long>(raw.size())));
  }
  if (!cert) {
    err = "cannot read a certificate from " + path;
    return false;
  }
  Bytes value, subject, issuer, serial;
  if (!to_der_const<X509>(cert.get(), i2d_X509, value) ||
      !to_der_const(X509_get_subject_name(cert.get()), i2d_X509_NAME, subject) ||
      !to_der_const(X509_get_issuer_name(cert.get()), i2d_X509_NAME, issuer) ||
      !to_der_const(X509_get0_serialNumber(cert.get()), i2d_ASN1_INTEGER, serial)) {
    err = "cannot encode the certificate " + path;
    return false;
  }
  obj.attrs[CKA_CERTIFICATE_TYPE] = ulong_bytes(CKC_X_509);
  obj.attrs[CKA_VALUE] = value;
  obj.attrs[CKA_SUBJECT] = subject;
  obj.attrs[CKA_ISSUER] = issuer;
  obj.attrs[CKA_SERIAL_NUMBER] = serial;
  return true;
}

size_t signature_length(EVP_PKEY *key, CK_MECHANISM_TYPE mech) {
  if (key == nullptr) return 0;
  int id = EVP_PKEY_get_base_id(key);
  if (mech == CKM_RSA_PKCS && id == EVP_PKEY_RSA)
    return static_cast<size_t>(EVP_PKEY_get_size(key));
  if (mech == CKM_ECDSA && id == EVP_PKEY_EC)
    return 2 * ((static_cast<size_t>(EVP_PKEY_get_bits(key)) + 7) / 8);
  return 0;
}

CK_RV sign_data(EVP_PKEY *key, CK_MECHANISM_TYPE mech, const uint8_t *data, size_t len,
                Bytes &sig) {
  size_t want = signature_length(key, mech);
  if (want == 0) return CKR_KEY_TYPE_INCONSISTENT;
  if (mech == CKM_RSA_PKCS && len > want - 11) return CKR_DATA_LEN_RANGE;
  std::unique_ptr<EVP_PKEY_CTX, CtxFree> ctx(EVP_PKEY_CTX_new(key, nullptr));
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1) return CKR_FUNCTION_FAILED;
  if (mech == CKM_RSA_PKCS && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1)
    return CKR_FUNCTION_FAILED;
  size_t outlen = 0;
  if (EVP_PKEY_sign(ctx.get(), nullptr, &outlen, data, len) != 1) return CKR_FUNCTION_FAILED;
  Bytes out(outlen);
  if (EVP_PKEY_sign(ctx.get(), out.data(), &outlen, data, len) != 1) return CKR_FUNCTION_FAILED;
  out.resize(outlen);
  if (mech == CKM_RSA_PKCS) {
    sig = std::move(out);
    return CKR_OK;
  }
  // libcrypto gives DER; the token answers r||s, each as wide as the order.
  const unsigned char *p = out.data();
  std::unique_ptr<ECDSA_SIG, SigFree> es(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(out.size())));
  if (!es) return CKR_FUNCTION_FAILED;
  const int half = static_cast<int>(want / 2);
  sig.assign(want, 0);
  if (BN_bn2binpad(ECDSA_SIG_get0_r(es.get()), sig.data(), half) != half ||
      BN_bn2binpad(ECDSA_SIG_get0_s(es.get()), sig.data() + half, half) != half)
    return CKR_FUNCTION_FAILED;
  return CKR_OK;
}

}  // namespace vardek::mock
