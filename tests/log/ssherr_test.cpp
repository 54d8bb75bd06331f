// The error-code table: every code's text, the errno-dependent code and the
// fallback for codes outside the table.
#include "log/ssherr.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace {

struct CodeText {
  int code;
  const char *text;
};

// The whole table except -24, whose text depends on errno.
constexpr CodeText kTable[] = {
    {0, "success"},
    {-1, "unexpected internal error"},
    {-2, "memory allocation failed"},
    {-3, "incomplete message"},
    {-4, "invalid format"},
    {-5, "bignum is negative"},
    {-6, "string is too large"},
    {-7, "bignum is too large"},
    {-8, "elliptic curve point is too large"},
    {-9, "insufficient buffer space"},
    {-10, "invalid argument"},
    {-11, "key bits do not match"},
    {-12, "invalid elliptic curve"},
    {-13, "key type does not match"},
    {-14, "unknown or unsupported key type"},
    {-15, "elliptic curve does not match"},
    {-16, "plain key provided where certificate required"},
    {-17, "key lacks certificate data"},
    {-18, "unknown/unsupported certificate type"},
    {-19, "invalid certificate signing key"},
    {-20, "invalid elliptic curve value"},
    {-21, "incorrect signature"},
    {-22, "error in libcrypto"},
    {-23, "unexpected bytes remain after decoding"},
    {-25, "invalid certificate"},
    {-26, "communication with agent failed"},
    {-27, "agent refused operation"},
    {-28, "DH GEX group out of range"},
    {-29, "disconnected"},
    {-30, "message authentication code incorrect"},
    {-31, "no matching cipher found"},
    {-32, "no matching MAC found"},
    {-33, "no matching compression method found"},
    {-34, "no matching key exchange method found"},
    {-35, "no matching host key type found"},
    {-36, "could not load host key"},
    {-37, "protocol version mismatch"},
    {-38, "could not read protocol version"},
    {-39, "rekeying not supported by peer"},
    {-40, "passphrase is too short (minimum five characters)"},
    {-41, "file changed while reading"},
    {-42, "key encrypted using unsupported cipher"},
    {-43, "incorrect passphrase supplied to decrypt private key"},
    {-44, "bad permissions"},
    {-45, "certificate does not match key"},
    {-46, "key not found"},
    {-47, "agent not present"},
    {-48, "agent contains no identities"},
    {-49, "internal error: buffer is read-only"},
    {-50, "KRL file has invalid magic number"},
    {-51, "Key is revoked"},
    {-52, "Connection closed"},
    {-53, "Connection timed out"},
    {-54, "Connection corrupted"},
    {-55, "Protocol error"},
    {-56, "Invalid key length"},
    {-57, "number is too large"},
    {-58, "signature algorithm not supported"},
    {-59, "requested feature not supported"},
    {-60, "device not found"},
};

TEST(SshErr, EveryCodeHasItsText) {
  static_assert(std::size(kTable) == 60);
  for (const auto &row : kTable) EXPECT_STREQ(ssh_err(row.code), row.text) << row.code;
}

TEST(SshErr, ErrnoCodeFollowsCurrentErrno) {
  errno = ENOENT;
  std::string want = strerror(ENOENT);
  errno = ENOENT;
  EXPECT_EQ(ssh_err(SSH_ERR_ERRNO), want);
  errno = EACCES;
  want = strerror(EACCES);
  errno = EACCES;
  EXPECT_EQ(ssh_err(SSH_ERR_ERRNO), want);
}

TEST(SshErr, CodesOutsideTableAreUnknown) {
  for (int code : {1, 2, -61, -100, INT_MIN, INT_MAX})
    EXPECT_STREQ(ssh_err(code), "unknown error") << code;
}

}  // namespace
