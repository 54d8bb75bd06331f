// The keys vardek answered for a provider, read and numbered for display and
// selection.
#ifndef VARDEK_CLIENT_TOKENKEYS_H
#define VARDEK_CLIENT_TOKENKEYS_H

#include <optional>
#include <string>
#include <vector>

#include "agentproto/agentproto.h"
#include "client/pubkey.h"

namespace vardek::client {

struct TokenKey {
  int index = 0;             // 1-based, in vardek's order
  agent::Identity identity;  // blob and label as vardek sent them
  std::string fingerprint;   // SHA256:...
  std::optional<PublicKey> key;
  std::string unreadable;  // why `key` is missing
  // Where the client's own view of the module found the key; empty when it
  // could not tell (objects hidden until a login, or no view).
  std::string token;
  std::optional<Bytes> id;
  std::string uri;          // a pkcs11: URI that selects exactly this key
  std::string cannot_sign;  // why the token will not sign with it, when known

  // "<type> <base64 blob>[ <label>]" with the label made printable.
  std::string authorized_keys_line() const;
  // "RSA 2048", "ECDSA 256" or the type name.
  std::string description() const;
};

// ,"token":...,"id":...,"uri":...,"cannot_sign":... for the fields that
// are known; "" when none is.
std::string key_place_json(const TokenKey &k);

std::vector<TokenKey> read_token_keys(std::vector<agent::Identity> ids);

// The key named by `selector`: a 1-based index or a fingerprint, with or
// without "SHA256:". The first match wins. nullptr when none matches.
const TokenKey *select_key(const std::vector<TokenKey> &keys, const std::string &selector);

}  // namespace vardek::client

#endif
