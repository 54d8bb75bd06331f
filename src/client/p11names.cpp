#include "client/p11names.h"

#include <cctype>
#include <cstdio>

#include "pkcs11/ssh-pkcs11-rv-names.h"

namespace vardek::client {

namespace {

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
  if (const char *name = p11::rv_name_of(rv)) return name;
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
