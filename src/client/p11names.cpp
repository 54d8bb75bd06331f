#include "client/p11names.h"

#include <cctype>
#include <cstdio>

namespace vardek::client {

namespace {

struct RvName {
  CK_RV rv;
  const char *name;
};

#define RV(x) \
  { x, #x }
const RvName rv_names[] = {
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
};
#undef RV

struct FlagWord {
  CK_FLAGS flag;
  const char *word;
};

const FlagWord flag_words[] = {
    {CKF_LOGIN_REQUIRED, "login required"},
    {CKF_USER_PIN_INITIALIZED, "user PIN set"},
    {CKF_PROTECTED_AUTHENTICATION_PATH, "PIN pad"},
    {CKF_WRITE_PROTECTED, "write-protected"},
    {CKF_USER_PIN_COUNT_LOW, "user PIN count low"},
    {CKF_USER_PIN_FINAL_TRY, "final try"},
    {CKF_USER_PIN_LOCKED, "locked"},
    {CKF_USER_PIN_TO_BE_CHANGED, "to be changed"},
    {CKF_SO_PIN_COUNT_LOW, "SO PIN count low"},
    {CKF_SO_PIN_FINAL_TRY, "SO PIN final try"},
    {CKF_SO_PIN_LOCKED, "SO PIN locked"},
    {CKF_SO_PIN_TO_BE_CHANGED, "SO PIN to be changed"},
};

bool digits(char c) { return c >= '0' && c <= '9'; }
bool hex_digits(char c) { return isxdigit(static_cast<unsigned char>(c)) != 0; }
// True for a non-empty `s` of which every character passes `ok`.
bool all_of(const std::string &s, bool (*ok)(char)) {
  if (s.empty()) return false;
  for (char c : s)
    if (!ok(c)) return false;
  return true;
}

}  // namespace

std::string rv_name(CK_RV rv) {
  for (const auto &r : rv_names)
    if (r.rv == rv) return r.name;
  char buf[40];
  (void)snprintf(buf, sizeof buf, rv >= CKR_VENDOR_DEFINED ? "CKR_VENDOR_DEFINED+0x%lx" : "0x%lx",
                 rv >= CKR_VENDOR_DEFINED ? rv - CKR_VENDOR_DEFINED : rv);
  return buf;
}

std::string token_flag_words(CK_FLAGS flags) {
  std::string s = (flags & CKF_TOKEN_INITIALIZED) != 0 ? "initialised" : "not initialised";
  for (const auto &f : flag_words)
    if ((flags & f.flag) != 0) s += ", " + std::string(f.word);
  return s;
}

std::string annotate_log_line(const std::string &line) {
  // "... failed: 160", "... failed for slot 1: 179", "... failed (nfound 0 nattr 2): 5"
  size_t colon = line.rfind(": ");
  size_t failed = line.find("failed");
  if (colon != std::string::npos && failed != std::string::npos && failed < colon) {
    std::string num = line.substr(colon + 2);
    if (all_of(num, digits) && num.size() <= 12)
      return line + " [" + rv_name(std::stoul(num)) + "]";
  }
  size_t flags = line.rfind("flags 0x");
  if (flags != std::string::npos) {
    std::string num = line.substr(flags + 8);
    if (all_of(num, hex_digits) && num.size() <= 16)
      return line + " [" + token_flag_words(std::stoul(num, nullptr, 16)) + "]";
  }
  return line;
}

bool is_refcount_line(const std::string &line) {
  // "... refcount 2", "... refcount 1 valid 1"
  size_t r = line.rfind(" refcount ");
  if (r != std::string::npos) {
    std::string rest = line.substr(r + 10);
    size_t v = rest.find(" valid ");
    if (v != std::string::npos && all_of(rest.substr(v + 7), digits)) rest.resize(v);
    if (!rest.empty() && rest[0] == '-') rest.erase(0, 1);
    if (all_of(rest, digits)) return true;
  }
  // The registry walks: "check 0x... NAME (PATH)", "check provider \"...\"",
  // "parent 0x... ptr 0x... idx N".
  for (const char *walk : {": check 0x", ": check provider \"", ": parent 0x"})
    if (line.find(walk) != std::string::npos) return true;
  return false;
}

}  // namespace vardek::client
