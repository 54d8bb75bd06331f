// Names of attribute types and return values, for the configuration file and
// the call log, and the native encodings of attribute values.
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mock_internal.h"

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

struct RvName {
  CK_RV rv;
  const char *name;
};

#define RV(name) \
  { name, #name }

// Every return value of the PKCS#11 2.40 header.
constexpr RvName kRvNames[] = {
    RV(CKR_OK),
    RV(CKR_CANCEL),
    RV(CKR_HOST_MEMORY),
    RV(CKR_SLOT_ID_INVALID),
    RV(CKR_GENERAL_ERROR),
    RV(CKR_FUNCTION_FAILED),
    RV(CKR_ARGUMENTS_BAD),
    RV(CKR_NO_EVENT),
    RV(CKR_NEED_TO_CREATE_THREADS),
    RV(CKR_CANT_LOCK),
    RV(CKR_ATTRIBUTE_READ_ONLY),
    RV(CKR_ATTRIBUTE_SENSITIVE),
    RV(CKR_ATTRIBUTE_TYPE_INVALID),
    RV(CKR_ATTRIBUTE_VALUE_INVALID),
    RV(CKR_ACTION_PROHIBITED),
    RV(CKR_DATA_INVALID),
    RV(CKR_DATA_LEN_RANGE),
    RV(CKR_DEVICE_ERROR),
    RV(CKR_DEVICE_MEMORY),
    RV(CKR_DEVICE_REMOVED),
    RV(CKR_ENCRYPTED_DATA_INVALID),
    RV(CKR_ENCRYPTED_DATA_LEN_RANGE),
    RV(CKR_FUNCTION_CANCELED),
    RV(CKR_FUNCTION_NOT_PARALLEL),
    RV(CKR_FUNCTION_NOT_SUPPORTED),
    RV(CKR_KEY_HANDLE_INVALID),
    RV(CKR_KEY_SIZE_RANGE),
    RV(CKR_KEY_TYPE_INCONSISTENT),
    RV(CKR_KEY_NOT_NEEDED),
    RV(CKR_KEY_CHANGED),
    RV(CKR_KEY_NEEDED),
    RV(CKR_KEY_INDIGESTIBLE),
    RV(CKR_KEY_FUNCTION_NOT_PERMITTED),
    RV(CKR_KEY_NOT_WRAPPABLE),
    RV(CKR_KEY_UNEXTRACTABLE),
    RV(CKR_MECHANISM_INVALID),
    RV(CKR_MECHANISM_PARAM_INVALID),
    RV(CKR_OBJECT_HANDLE_INVALID),
    RV(CKR_OPERATION_ACTIVE),
    RV(CKR_OPERATION_NOT_INITIALIZED),
    RV(CKR_PIN_INCORRECT),
    RV(CKR_PIN_INVALID),
    RV(CKR_PIN_LEN_RANGE),
    RV(CKR_PIN_EXPIRED),
    RV(CKR_PIN_LOCKED),
    RV(CKR_SESSION_CLOSED),
    RV(CKR_SESSION_COUNT),
    RV(CKR_SESSION_HANDLE_INVALID),
    RV(CKR_SESSION_PARALLEL_NOT_SUPPORTED),
    RV(CKR_SESSION_READ_ONLY),
    RV(CKR_SESSION_EXISTS),
    RV(CKR_SESSION_READ_ONLY_EXISTS),
    RV(CKR_SESSION_READ_WRITE_SO_EXISTS),
    RV(CKR_SIGNATURE_INVALID),
    RV(CKR_SIGNATURE_LEN_RANGE),
    RV(CKR_TEMPLATE_INCOMPLETE),
    RV(CKR_TEMPLATE_INCONSISTENT),
    RV(CKR_TOKEN_NOT_PRESENT),
    RV(CKR_TOKEN_NOT_RECOGNIZED),
    RV(CKR_TOKEN_WRITE_PROTECTED),
    RV(CKR_UNWRAPPING_KEY_SIZE_RANGE),
    RV(CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT),
    RV(CKR_USER_ALREADY_LOGGED_IN),
    RV(CKR_USER_NOT_LOGGED_IN),
    RV(CKR_USER_PIN_NOT_INITIALIZED),
    RV(CKR_USER_TYPE_INVALID),
    RV(CKR_USER_ANOTHER_ALREADY_LOGGED_IN),
    RV(CKR_USER_TOO_MANY_TYPES),
    RV(CKR_WRAPPED_KEY_INVALID),
    RV(CKR_WRAPPED_KEY_LEN_RANGE),
    RV(CKR_WRAPPING_KEY_HANDLE_INVALID),
    RV(CKR_WRAPPING_KEY_SIZE_RANGE),
    RV(CKR_WRAPPING_KEY_TYPE_INCONSISTENT),
    RV(CKR_RANDOM_SEED_NOT_SUPPORTED),
    RV(CKR_RANDOM_NO_RNG),
    RV(CKR_DOMAIN_PARAMS_INVALID),
    RV(CKR_CURVE_NOT_SUPPORTED),
    RV(CKR_BUFFER_TOO_SMALL),
    RV(CKR_SAVED_STATE_INVALID),
    RV(CKR_INFORMATION_SENSITIVE),
    RV(CKR_STATE_UNSAVEABLE),
    RV(CKR_CRYPTOKI_NOT_INITIALIZED),
    RV(CKR_CRYPTOKI_ALREADY_INITIALIZED),
    RV(CKR_MUTEX_BAD),
    RV(CKR_MUTEX_NOT_LOCKED),
    RV(CKR_NEW_PIN_MODE),
    RV(CKR_NEXT_OTP),
    RV(CKR_EXCEEDED_MAX_ITERATIONS),
    RV(CKR_FIPS_SELF_TEST_FAILED),
    RV(CKR_LIBRARY_LOAD_FAILED),
    RV(CKR_PIN_TOO_WEAK),
    RV(CKR_PUBLIC_KEY_INVALID),
    RV(CKR_FUNCTION_REJECTED),
    RV(CKR_VENDOR_DEFINED),
};

#undef RV

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
  for (const auto &r : kRvNames) {
    if (text == r.name) {
      rv = r.rv;
      return true;
    }
  }
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
