// vardek-client list: the provider's keys as authorized_keys lines.
#include <cstdio>

#include "client/commands.h"
#include "client/p11view.h"
#include "client/provider.h"
#include "client/textout.h"

namespace vardek::client {

namespace {

std::string key_json(const TokenKey &k) {
  std::string type;
  agent::Reader(k.identity.blob).string(type);
  std::string s = "{\"index\":" + std::to_string(k.index) + ",\"type\":" + json_string(type) +
                  ",\"bits\":" + std::to_string(k.key ? k.key->bits : 0) +
                  ",\"fingerprint\":" + json_string(k.fingerprint) +
                  ",\"label\":" + json_string(k.identity.label) +
                  ",\"public_key\":" + json_string(k.authorized_keys_line()) + key_place_json(k);
  if (!k.key) s += ",\"unreadable\":" + json_string(k.unreadable);
  return s + "}";
}

}  // namespace

int run_list(const Options &o) {
  OpenProvider p(o);
  if (int st = p.open(); st != exit_ok) return st;
  if (o.json) {
    std::string out = "{\"provider\":" + json_string(o.provider) + ",\"status\":\"ok\",\"keys\":[";
    for (const auto &k : p.keys()) out += (k.index > 1 ? "," : "") + key_json(k);
    printf("%s]}\n", out.c_str());
    return exit_ok;
  }
  // Comment lines are allowed in authorized_keys files, so the output can be
  // used as one as it is. A key the token will not sign with is shown
  // commented out.
  for (const auto &k : p.keys()) {
    printf("# %d %s %s", k.index, k.description().c_str(), k.fingerprint.c_str());
    if (!k.key) printf(" (%s)", k.unreadable.c_str());
    printf("\n");
    if (k.cannot_sign.empty())
      printf("%s\n", k.authorized_keys_line().c_str());
    else
      printf("# cannot sign: %s\n# %s\n", printable(k.cannot_sign).c_str(),
             k.authorized_keys_line().c_str());
    // Where the key lives, after its line: the line above a key line stays
    // the one with its fingerprint.
    if (!k.token.empty())
      printf("# token=%s id=%s %s\n", printable(k.token).c_str(),
             k.id && !k.id->empty() ? hex(*k.id).c_str() : "(none)", printable(k.uri).c_str());
  }
  return exit_ok;
}

}  // namespace vardek::client
