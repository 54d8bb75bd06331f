// Names for PKCS#11 numbers in vardek's log and the client's messages:
// return codes as CKR_ names, token flags in words.
#ifndef VARDEK_CLIENT_P11NAMES_H
#define VARDEK_CLIENT_P11NAMES_H

#include <p11-kit/pkcs11.h>

#include <string>

namespace vardek::client {

// "CKR_PIN_INCORRECT"; unknown codes in hexadecimal.
std::string rv_name(CK_RV rv);
// "initialised, login required, user PIN count low", ...: the token flags a
// user acts on, in words.
std::string token_flag_words(CK_FLAGS flags);
// A line of vardek's log with the CKR_ name of a "failed: N" code or the
// words of a "flags 0x..." field appended in brackets; other lines as they
// are.
std::string annotate_log_line(const std::string &line);
// True for vardek's reference-count and registry-walk lines, which -v hides
// (-vv shows them).
bool is_refcount_line(const std::string &line);

}  // namespace vardek::client

#endif
