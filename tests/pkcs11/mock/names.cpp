// Names of attribute types and return values, for the configuration file and
// the call log, and the native encodings of attribute values.
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mock_internal.h"
#include "pkcs11/ssh-pkcs11-rv-names.h"

namespace vardek::mock {

namespace {

struct AttrName {
  CK_ATTRIBUTE_TYPE type;
  const char *name;
};

constexpr AttrName kAttrNames[] = {
    {CKA_CLASS, "CKA_CLASS"},
    {CKA_TOKEN, "CKA_TOKEN"},
    {CKA_PRIVATE, "CKA_PRIVATE"},
    {CKA_LABEL, "CKA_LABEL"},
    {CKA_VALUE, "CKA_VALUE"},
    {CKA_CERTIFICATE_TYPE, "CKA_CERTIFICATE_TYPE"},
    {CKA_ISSUER, "CKA_ISSUER"},
    {CKA_SERIAL_NUMBER, "CKA_SERIAL_NUMBER"},
    {CKA_KEY_TYPE, "CKA_KEY_TYPE"},
    {CKA_SUBJECT, "CKA_SUBJECT"},
    {CKA_ID, "CKA_ID"},
    {CKA_SENSITIVE, "CKA_SENSITIVE"},
    {CKA_DECRYPT, "CKA_DECRYPT"},
    {CKA_SIGN, "CKA_SIGN"},
    {CKA_VERIFY, "CKA_VERIFY"},
    {CKA_MODULUS, "CKA_MODULUS"},
    {CKA_MODULUS_BITS, "CKA_MODULUS_BITS"},
    {CKA_PUBLIC_EXPONENT, "CKA_PUBLIC_EXPONENT"},
    {CKA_EC_PARAMS, "CKA_EC_PARAMS"},
    {CKA_EC_POINT, "CKA_EC_POINT"},
    {CKA_ALWAYS_AUTHENTICATE, "CKA_ALWAYS_AUTHENTICATE"},
};

bool iequals_suffix(const std::string &text, const char *name, size_t prefix) {
  // "CKA_EC_POINT" also answers to "ec_point".
  if (strcasecmp(text.c_str(), name) == 0) return true;
  return std::strlen(name) > prefix && strcasecmp(text.c_str(), name + prefix) == 0;
}

}  // namespace

bool parse_number(const std::string &text, unsigned long &out) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  char *end = nullptr;
  errno = 0;
  unsigned long v = std::strtoul(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0') return false;
  out = v;
  return true;
}

std::string attr_name(CK_ATTRIBUTE_TYPE type) {
  for (const auto &a : kAttrNames)
    if (a.type == type) return a.name;
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%lx", type);
  return buf;
}

bool parse_attr_type(const std::string &text, CK_ATTRIBUTE_TYPE &type) {
  for (const auto &a : kAttrNames) {
    if (iequals_suffix(text, a.name, 4)) {
      type = a.type;
      return true;
    }
  }
  unsigned long v;
  if (!parse_number(text, v)) return false;
  type = v;
  return true;
}

bool parse_rv(const std::string &text, CK_RV &rv) {
  if (p11::rv_named(text, rv)) return true;
  unsigned long v;
  if (!parse_number(text, v)) return false;
  rv = v;
  return true;
}

Bytes ulong_bytes(CK_ULONG v) {
  Bytes b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}

Bytes bool_bytes(bool v) { return Bytes{static_cast<uint8_t>(v ? CK_TRUE : CK_FALSE)}; }

}  // namespace vardek::mock
