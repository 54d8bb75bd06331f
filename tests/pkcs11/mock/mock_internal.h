// Records shared by the pieces of the mock PKCS#11 module. The configuration
// format and the call log are described in mock_p11.h.
#ifndef VARDEK_TESTS_PKCS11_MOCK_MOCK_INTERNAL_H
#define VARDEK_TESTS_PKCS11_MOCK_MOCK_INTERNAL_H

#include <openssl/evp.h>
#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vardek::mock {

using Bytes = std::vector<uint8_t>;

enum class SmallBuffer { standard, ok, unavailable };

struct Object {
  CK_OBJECT_HANDLE handle = 0;
  std::map<CK_ATTRIBUTE_TYPE, Bytes> attrs;
  std::shared_ptr<EVP_PKEY> key;  // signing material (private keys only)
  SmallBuffer small_buffer = SmallBuffer::standard;
};

struct Slot {
  CK_SLOT_ID id = 0;
  bool present = true;
  CK_FLAGS flags = CKF_TOKEN_INITIALIZED;
  std::string label, manufacturer, model, serial;
  std::string pin = "1234";
  std::vector<Object> objects;
};

enum class When { nth, always, from, size, data };

struct Fault {
  std::string function;  // "C_Login", ... or "any"
  When when = When::always;
  unsigned long n = 0;
  CK_RV rv = CKR_GENERAL_ERROR;
};

struct Config {
  std::string manufacturer = "vardek mock";
  std::string description = "vardek mock module";
  CK_VERSION cryptoki{2, 40};
  CK_VERSION version{1, 0};
  std::vector<Slot> slots;
  std::vector<Fault> faults;
  long getslotlist_count = -1;  // -1: report the real count
  long ec_sig_len = -1;         // -1: the real r||s length
  std::string chatter;          // written to standard output, see mock_p11.h
  bool find_forever = false;    // C_FindObjects never reports the end
  bool instant_sign = false;    // C_Sign answers 0x01 bytes without signing
};

// Reads the configuration file at `path` into `out`. Returns false with a
// reason in `err` ("<file>:<line>: <reason>") when it does not parse.
bool load_config(const std::string &path, Config &out, std::string &err);

// Appends one line to the call log named by VARDEK_MOCK_LOG (if set).
void call_log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Parses a whole text as an unsigned number (decimal or 0x-hex).
bool parse_number(const std::string &text, unsigned long &out);

// Attribute type names for the call log and the configuration.
std::string attr_name(CK_ATTRIBUTE_TYPE type);
bool parse_attr_type(const std::string &text, CK_ATTRIBUTE_TYPE &type);
// Return-value names (CKR_...) or numbers.
bool parse_rv(const std::string &text, CK_RV &rv);

// Native encodings of attribute values.
Bytes ulong_bytes(CK_ULONG v);
Bytes bool_bytes(bool v);

// Fills the public attributes of `obj` from a PEM key file; keeps the key for
// signing when `keep_private`. false with `err` on failure.
bool key_attributes(const std::string &path, bool keep_private, Object &obj, std::string &err);
// Fills the certificate attributes of `obj` from a PEM or DER X.509 file.
bool cert_attributes(const std::string &path, Object &obj, std::string &err);

// Length of a signature by `key` with `mech` (0 if the pair is unsupported).
size_t signature_length(EVP_PKEY *key, CK_MECHANISM_TYPE mech);
// Signs `data` with `key`: CKM_RSA_PKCS pads and signs the bytes as given;
// CKM_ECDSA signs them as a digest and returns r||s. CKR_OK or a failure.
CK_RV sign_data(EVP_PKEY *key, CK_MECHANISM_TYPE mech, const uint8_t *data, size_t len, Bytes &sig);

}  // namespace vardek::mock

#endif
