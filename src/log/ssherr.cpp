// Texts of the shared error codes.
#include "log/ssherr.h"

#include <cerrno>
#include <cstring>

const char *ssh_err(int code) {
  switch (code) {
    case SSH_ERR_SUCCESS:
      return "success";
    case SSH_ERR_UNEXPECTED_INTERNAL:
      return "unexpected internal error";
    case SSH_ERR_ALLOCATION_FAILED:
      return "memory allocation failed";
    case SSH_ERR_INCOMPLETE_MESSAGE:
      return "incomplete message";
    case SSH_ERR_INVALID_FORMAT:
      return "invalid format";
    case SSH_ERR_BIGNUM_NEGATIVE:
      return "bignum is negative";
    case SSH_ERR_STRING_TOO_LARGE:
      return "string is too large";
    case SSH_ERR_BIGNUM_TOO_LARGE:
      return "bignum is too large";
    case SSH_ERR_EC_POINT_TOO_LARGE:
      return "elliptic curve point is too large";
    case SSH_ERR_INSUFFICIENT_SPACE:
      return "insufficient buffer space";
    case SSH_ERR_INVALID_ARGUMENT:
      return "invalid argument";
    case SSH_ERR_KEY_BITS_DIFFER:
      return "key bits do not match";
    case SSH_ERR_INVALID_CURVE:
      return "invalid elliptic curve";
    case SSH_ERR_KEY_TYPE_DIFFERS:
      return "key type does not match";
    case SSH_ERR_UNSUPPORTED_KEY_TYPE:
      return "unknown or unsupported key type";
    case SSH_ERR_CURVE_DIFFERS:
      return "elliptic curve does not match";
    case SSH_ERR_PLAIN_KEY_GIVEN:
      return "plain key provided where certificate required";
    case SSH_ERR_NO_CERT_DATA:
      return "key lacks certificate data";
    case SSH_ERR_UNSUPPORTED_CERT_TYPE:
      return "unknown/unsupported certificate type";
    case SSH_ERR_INVALID_CERT_SIGNER:
      return "invalid certificate signing key";
    case SSH_ERR_INVALID_CURVE_VALUE:
      return "invalid elliptic curve value";
    case SSH_ERR_INCORRECT_SIGNATURE:
      return "incorrect signature";
    case SSH_ERR_LIBCRYPTO_FAILED:
      return "error in libcrypto";
    case SSH_ERR_TRAILING_BYTES:
      return "unexpected bytes remain after decoding";
    case SSH_ERR_ERRNO:
      // Read errno now: the caller asks before anything else can change it.
      return strerror(errno);
    case SSH_ERR_INVALID_CERT:
      return "invalid certificate";
    case SSH_ERR_AGENT_COMMUNICATION:
      return "communication with agent failed";
    case SSH_ERR_AGENT_REFUSED:
      return "agent refused operation";
    case SSH_ERR_DH_GEX_RANGE:
      return "DH GEX group out of range";
    case SSH_ERR_DISCONNECTED:
      return "disconnected";
    case SSH_ERR_MAC_INCORRECT:
      return "message authentication code incorrect";
    case SSH_ERR_NO_MATCHING_CIPHER:
      return "no matching cipher found";
    case SSH_ERR_NO_MATCHING_MAC:
      return "no matching MAC found";
    case SSH_ERR_NO_MATCHING_COMPRESSION:
      return "no matching compression method found";
    case SSH_ERR_NO_MATCHING_KEX:
      return "no matching key exchange method found";
    case SSH_ERR_NO_MATCHING_HOSTKEY_TYPE:
      return "no matching host key type found";
    case SSH_ERR_HOSTKEY_LOAD_FAILED:
      return "could not load host key";
    case SSH_ERR_VERSION_MISMATCH:
      return "protocol version mismatch";
    case SSH_ERR_VERSION_UNREADABLE:
      return "could not read protocol version";
    case SSH_ERR_REKEY_UNSUPPORTED:
      return "rekeying not supported by peer";
    case SSH_ERR_PASSPHRASE_TOO_SHORT:
      return "passphrase is too short (minimum five characters)";
    case SSH_ERR_FILE_CHANGED:
      return "file changed while reading";
    case SSH_ERR_UNSUPPORTED_KEY_CIPHER:
      return "key encrypted using unsupported cipher";
    case SSH_ERR_WRONG_PASSPHRASE:
      return "incorrect passphrase supplied to decrypt private key";
    case SSH_ERR_BAD_PERMISSIONS:
      return "bad permissions";
    case SSH_ERR_CERT_KEY_MISMATCH:
      return "certificate does not match key";
    case SSH_ERR_KEY_NOT_FOUND:
      return "key not found";
    case SSH_ERR_AGENT_ABSENT:
      return "agent not present";
    case SSH_ERR_AGENT_EMPTY:
      return "agent contains no identities";
    case SSH_ERR_BUFFER_READ_ONLY:
      return "internal error: buffer is read-only";
    case SSH_ERR_KRL_BAD_MAGIC:
      return "KRL file has invalid magic number";
    case SSH_ERR_KEY_REVOKED:
      return "Key is revoked";
    case SSH_ERR_CONNECTION_CLOSED:
      return "Connection closed";
    case SSH_ERR_CONNECTION_TIMED_OUT:
      return "Connection timed out";
    case SSH_ERR_CONNECTION_CORRUPTED:
      return "Connection corrupted";
    case SSH_ERR_PROTOCOL:
      return "Protocol error";
    case SSH_ERR_INVALID_KEY_LENGTH:
      return "Invalid key length";
    case SSH_ERR_NUMBER_TOO_LARGE:
      return "number is too large";
    case SSH_ERR_UNSUPPORTED_SIGNATURE_ALG:
      return "signature algorithm not supported";
    case SSH_ERR_UNSUPPORTED_FEATURE:
      return "requested feature not supported";
    case SSH_ERR_DEVICE_NOT_FOUND:
      return "device not found";
    default:
      return "unknown error";
  }
}
