// Control interface of mock-p11.so, the fault-injecting PKCS#11 module the
// tests load through dlopen exactly as vardek loads a real module.
//
// The module exports C_GetFunctionList only; every other entry point is
// reached through the CK_FUNCTION_LIST it returns. Entry points the mock does
// not model return CKR_FUNCTION_NOT_SUPPORTED.
//
// ENVIRONMENT
//   VARDEK_MOCK_CONFIG  path of the configuration file, read afresh at every
//                       C_Initialize (and by C_GetFunctionList, for its own
//                       faults only). Unset: no slots, default library info.
//                       A file that does not parse makes C_Initialize fail
//                       with CKR_GENERAL_ERROR and prints the reason to
//                       standard error as "mock-p11: <file>:<line>: <reason>".
//   VARDEK_MOCK_LOG     path of the call log; one line is appended (and
//                       flushed) per Cryptoki call. Unset: no log.
//
// CONFIGURATION FILE
//   One directive per line; blank lines and lines starting with '#' are
//   ignored. A directive is a word followed by blank-separated key=value
//   fields. Values are percent-decoded ("My%20Token" is "My Token", "%00" a
//   NUL byte), so any byte string fits. Numbers accept decimal, 0x-hex and,
//   where noted, names (CKR_PIN_INCORRECT, CKA_EC_POINT, ...). File paths
//   are taken relative to the configuration file's directory.
//
//   library [manufacturer=TEXT] [description=TEXT] [cryptoki=MAJ.MIN]
//           [version=MAJ.MIN]
//       CK_INFO. Texts are blank-padded to 32 bytes (longer ones are cut).
//       Defaults: "vardek mock", "vardek mock module", 2.40, 1.0.
//
//   slot id=N [present=0|1] [flags=F] [label=TEXT] [manufacturer=TEXT]
//        [model=TEXT] [serial=TEXT] [pin=TEXT]
//       A slot; the objects that follow belong to it. Slots are listed by
//       C_GetSlotList in file order. present=0 hides the slot from
//       C_GetSlotList(CK_TRUE) and makes its token calls answer
//       CKR_TOKEN_NOT_PRESENT. flags are token flags, a number or a comma
//       list of initialized, login_required, protected_auth, user_pin_initialized
//       (default: initialized). Texts are blank-padded to their field width
//       (label/manufacturer 32, model/serial 16). pin is the user PIN C_Login
//       checks (default "1234"); CKU_SO is refused with CKR_USER_TYPE_INVALID.
//
//   object class=public|private|certificate|data|N [key=PEM] [cert=FILE]
//          [keytype=rsa|ec|dsa|N] [certtype=x509|N] [id=HEX] [label=TEXT]
//          [sign=0|1] [always_auth=0|1] [private=0|1] [token=0|1]
//          [attr.TYPE=HEX]... [noattr=TYPE[,TYPE...]] [small_buffer=MODE]
//       An object of the current slot. Handles are numbered from 1 in file
//       order across all slots.
//       key=PEM (a private key file, RSA or EC): for class=public sets
//         CKA_KEY_TYPE, CKA_MODULUS + CKA_PUBLIC_EXPONENT (RSA) or
//         CKA_EC_PARAMS (named-curve OID, DER) + CKA_EC_POINT (uncompressed
//         point wrapped in a DER OCTET STRING); for class=private the same
//         public attributes plus the key material C_Sign uses.
//       cert=FILE (PEM or DER X.509): CKA_CERTIFICATE_TYPE = CKC_X_509,
//         CKA_VALUE (DER), CKA_SUBJECT, CKA_ISSUER, CKA_SERIAL_NUMBER.
//       Always set: CKA_CLASS, CKA_TOKEN (default 1), CKA_PRIVATE (default 1
//         for private keys, 0 otherwise), CKA_ID (default empty), CKA_LABEL
//         (default empty). Private keys also get CKA_SIGN (default 1) and
//         CKA_ALWAYS_AUTHENTICATE (default 0).
//       CK_ULONG attributes are stored as native CK_ULONG bytes, booleans as
//       one byte.
//       attr.TYPE=HEX stores raw bytes for any attribute (empty HEX: present
//         with length 0), after everything above: the way to make malformed
//         objects (a 2-byte CKA_EC_POINT, explicit curve parameters, a point
//         that is no OCTET STRING, a CKA_LABEL of 300 bytes).
//       noattr removes attributes (the object then answers
//         CKR_ATTRIBUTE_TYPE_INVALID for them).
//       small_buffer sets what C_GetAttributeValue does when a buffer is too
//         small for an attribute of this object:
//           standard (default) CKR_BUFFER_TOO_SMALL, ulValueLen =
//                              CK_UNAVAILABLE_INFORMATION
//           ok                 copies what fits, CKR_OK, ulValueLen = the
//                              real length (larger than the buffer)
//           unavailable        copies nothing, CKR_OK, ulValueLen =
//                              CK_UNAVAILABLE_INFORMATION
//       Objects with CKA_PRIVATE true are hidden from C_FindObjects on a token
//       with the login_required flag until the slot is logged in.
//
//   fail FUNCTION WHEN RV
//       Makes FUNCTION (a Cryptoki name such as C_Login, or "any" for the
//       position among all calls) return RV instead of doing its work.
//       WHEN is N (the Nth call, counted from 1), always, from=N (the Nth call
//       and all later ones), or, for C_GetAttributeValue only, size (calls
//       whose value pointers are all null) or data (all other calls).
//       Counters start at the C_Initialize that read the file; C_Initialize
//       itself counts calls since the module was loaded, and "any" counts
//       every call after C_Initialize. RV is a number or a CKR_ name. Several
//       fail lines may name the same function; the first that fires wins.
//
//   getslotlist_count N
//       C_GetSlotList reports N slots in its size query (the list query then
//       fills at most the slots that exist and reports how many it wrote).
//
//   ec_sig_len N
//       C_Sign with CKM_ECDSA returns N bytes: the real r||s cut or padded
//       with zero bytes at the end.
//
//   chatter TEXT
//       Writes TEXT (percent-decoded) to descriptor 1 with write(2) in every
//       C_Initialize and with buffered printf in every C_Sign, as modules
//       with debug prints do.
//
//   find_forever
//       C_FindObjects never reports the end of a search: once the matches
//       are used up it answers the last one (or handle 1) again, forever.
//
//   instant_sign
//       C_Sign answers a signature of the right length made of 0x01 bytes
//       (for ECDSA: r and s both 0x0101...01, inside every group's range)
//       without computing anything: a token whose signing costs nothing,
//       for measuring the caller's own work.
//
// SIGNING
//   C_SignInit/C_Sign with CKM_RSA_PKCS (PKCS#1 v1.5 type 1 padding of the
//   given bytes, no digesting) on RSA private keys and CKM_ECDSA (the given
//   bytes are the digest; the result is r||s, each padded to the byte length
//   of the group order) on EC private keys. C_Sign with a null signature
//   pointer reports the length; too small a buffer gives
//   CKR_BUFFER_TOO_SMALL; both keep the operation active. A key with
//   CKA_ALWAYS_AUTHENTICATE true needs a CKU_CONTEXT_SPECIFIC C_Login after
//   C_SignInit, else C_Sign answers CKR_USER_NOT_LOGGED_IN.
//
// CALL LOG LINES (numbers in decimal unless noted)
//   C_GetFunctionList
//   C_Initialize                       null argument
//   C_Initialize args                  non-null argument
//   C_Finalize
//   C_GetInfo
//   C_GetSlotList present=B list=null  size query
//   C_GetSlotList present=B list=N     list query, N = offered count
//   C_GetTokenInfo slot=ID
//   C_OpenSession slot=ID flags=0xF
//   C_CloseSession h=H
//   C_CloseAllSessions slot=ID
//   C_Login h=H user=U pin_len=L       (the PIN itself is never written)
//   C_Logout h=H
//   C_FindObjectsInit h=H ATTRS        ATTRS: blank-separated NAME=VALUE,
//                                      CK_ULONG-sized CKA_CLASS,
//                                      CKA_KEY_TYPE, CKA_CERTIFICATE_TYPE in
//                                      decimal, one-byte CKA_SIGN, CKA_TOKEN,
//                                      CKA_PRIVATE, CKA_ALWAYS_AUTHENTICATE
//                                      as 0/1, all else as lower-case hex
//                                      (empty value: "NAME="); unknown types
//                                      as 0xHEX=...
//   C_FindObjects h=H max=M
//   C_FindObjectsFinal h=H
//   C_GetAttributeValue h=H obj=O NAMES   NAMES: the template's types, in
//                                      order, blank-separated, with " (size)"
//                                      after them when all pointers are null
//   C_SignInit h=H mech=0xM obj=O
//   C_Sign h=H len=L
//   C_<other>                          unsupported entry points, name only
//   A line is written when the call starts, before any fault is applied.
#ifndef VARDEK_TESTS_PKCS11_MOCK_MOCK_P11_H
#define VARDEK_TESTS_PKCS11_MOCK_MOCK_P11_H

#include <fstream>
#include <string>
#include <vector>

namespace vardek::mock {

inline constexpr const char kConfigEnv[] = "VARDEK_MOCK_CONFIG";
inline constexpr const char kLogEnv[] = "VARDEK_MOCK_LOG";

// Lines of a call log (empty when the file does not exist).
inline std::vector<std::string> read_call_log(const std::string &path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Number of log lines that start with `prefix`.
inline size_t count_calls(const std::vector<std::string> &lines, const std::string &prefix) {
  size_t n = 0;
  for (const auto &l : lines)
    if (l.compare(0, prefix.size(), prefix) == 0) n++;
  return n;
}

}  // namespace vardek::mock

#endif
