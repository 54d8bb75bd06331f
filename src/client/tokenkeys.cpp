#include "client/tokenkeys.h"

#include "client/p11view.h"
#include "client/textout.h"

namespace vardek::client {

std::string TokenKey::authorized_keys_line() const {
  std::string type;
  agent::Reader r(identity.blob);
  r.string(type);
  std::string line = printable(type) + " " + base64(identity.blob);
  if (!identity.label.empty()) line += " " + printable(identity.label);
  return line;
}

std::string TokenKey::description() const {
  if (!key) return "unreadable";
  if (key->family == KeyFamily::other) return printable(key->type);
  return family_name(*key) + " " + std::to_string(key->bits);
}

std::string key_place_json(const TokenKey &k) {
  std::string s;
  if (!k.token.empty()) s += ",\"token\":" + json_string(k.token);
  if (k.id) s += ",\"id\":" + json_string(hex(*k.id));
  if (!k.uri.empty()) s += ",\"uri\":" + json_string(k.uri);
  if (!k.cannot_sign.empty()) s += ",\"cannot_sign\":" + json_string(k.cannot_sign);
  return s;
}

std::vector<TokenKey> read_token_keys(std::vector<agent::Identity> ids) {
  std::vector<TokenKey> keys;
  int index = 1;
  for (auto &id : ids) {
    TokenKey k;
    k.index = index++;
    k.identity = std::move(id);
    k.fingerprint = fingerprint(k.identity.blob);
    k.key = parse_public_key(k.identity.blob, k.unreadable);
    keys.push_back(std::move(k));
  }
  return keys;
}

const TokenKey *select_key(const std::vector<TokenKey> &keys, const std::string &selector) {
  bool digits = !selector.empty() && selector.size() < 9 &&
                selector.find_first_not_of("0123456789") == std::string::npos;
  if (digits) {
    int n = std::stoi(selector);
    for (const auto &k : keys)
      if (k.index == n) return &k;
    return nullptr;
  }
  std::string fp = selector.starts_with("SHA256:") ? selector : "SHA256:" + selector;
  for (const auto &k : keys)
    if (k.fingerprint == fp) return &k;
  return nullptr;
}

}  // namespace vardek::client
