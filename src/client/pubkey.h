// SSH public key blobs as vardek answers them, read by the client itself (not
// through vardek's key code) so that its checks are independent of vardek.
#ifndef VARDEK_CLIENT_PUBKEY_H
#define VARDEK_CLIENT_PUBKEY_H

#include <optional>
#include <string>

#include "client/encoding.h"
#include "util/ossl_ptr.h"

namespace vardek::client {

enum class KeyFamily { rsa, ecdsa, other };

struct PublicKey {
  std::string type;  // the blob's type name, e.g. "ssh-rsa"
  KeyFamily family = KeyFamily::other;
  int bits = 0;                       // modulus size or curve size; 0 for other types
  vardek::unique_ptr<EVP_PKEY> pkey;  // null for other types
};

// Reads `blob`. An RSA or ECDSA blob must be well formed, with nothing left
// over; other type names are returned with family `other` and no key.
// nullopt with `why` set when the blob cannot be read.
std::optional<PublicKey> parse_public_key(const Bytes &blob, std::string &why);

// "RSA", "ECDSA" or the type name, for messages.
std::string family_name(const PublicKey &k);

}  // namespace vardek::client

#endif
