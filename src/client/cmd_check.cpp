// vardek-client check: every key signs a fresh random challenge, and each
// signature is verified with the key's public half.
#include <openssl/rand.h>

#include <cstdio>

#include "client/commands.h"
#include "client/explain.h"
#include "client/p11view.h"
#include "client/provider.h"
#include "client/signing.h"
#include "client/textout.h"

namespace vardek::client {

namespace {

struct Outcome {
  std::string status;  // "ok", "refused", "bad-signature", "unsupported", "vardek-failed"
  std::string alg;
  std::string message;  // why it failed
};

Outcome check_key(OpenProvider &p, const TokenKey &k) {
  Session &s = p.session();
  if (!k.key) return {"unsupported", "", "the key blob cannot be read: " + k.unreadable};
  if (!s.alive()) return {"vardek-failed", "", "not tried: vardek is no longer running"};
  Bytes challenge(32);
  if (RAND_bytes(challenge.data(), static_cast<int>(challenge.size())) != 1)
    return {"vardek-failed", "", "no random challenge could be made"};
  std::string why;
  auto plan = plan_signature(*k.key, "", challenge, why);
  if (!plan) return {"unsupported", "", why};
  size_t mark = s.log().size();
  SignResult r = s.sign(k.identity.blob, plan->to_send);
  if (r.kind == SignResult::Kind::refused) return {"refused", plan->alg, p.sign_refusal(k, mark)};
  if (r.kind == SignResult::Kind::broken) return {"vardek-failed", plan->alg, r.detail};
  if (!finish_signature(*k.key, *plan, challenge, r.signature, why))
    return {"bad-signature", plan->alg,
            why + ": the token's private key does not match the public key it shows"};
  return {"ok", plan->alg, ""};
}

}  // namespace

int run_check(const Options &o) {
  OpenProvider p(o);
  if (int st = p.open(); st != exit_ok) return st;
  size_t failed = 0;
  std::string json;
  if (!o.json)
    printf("%s: %zu key%s\n", printable(o.provider).c_str(), p.keys().size(),
           p.keys().size() == 1 ? "" : "s");
  for (const auto &k : p.keys()) {
    Outcome out = check_key(p, k);
    bool ok = out.status == "ok";
    if (!ok) failed++;
    if (o.json) {
      std::string type;
      agent::Reader(k.identity.blob).string(type);
      json += std::string(json.empty() ? "" : ",") + "{\"index\":" + std::to_string(k.index) +
              ",\"type\":" + json_string(type) +
              ",\"bits\":" + std::to_string(k.key ? k.key->bits : 0) +
              ",\"fingerprint\":" + json_string(k.fingerprint) + key_place_json(k) +
              ",\"label\":" + json_string(k.identity.label) +
              ",\"status\":" + json_string(out.status) + ",\"algorithm\":" + json_string(out.alg) +
              ",\"message\":" + json_string(out.message) + "}";
      continue;
    }
    printf("%3d  %-10s %s  %s", k.index, k.description().c_str(), k.fingerprint.c_str(),
           printable(k.identity.label).c_str());
    printf("\n");
    if (!k.token.empty())
      printf("     token=%s id=%s %s\n", printable(k.token).c_str(),
             k.id && !k.id->empty() ? hex(*k.id).c_str() : "(none)", printable(k.uri).c_str());
    if (ok)
      printf("     OK: %s signature of a random challenge verified\n", out.alg.c_str());
    else
      printf("     FAILED: %s\n", printable(out.message).c_str());
  }
  size_t n = p.keys().size();
  if (o.json) {
    printf("{\"provider\":%s,\"status\":%s,\"ok\":%zu,\"failed\":%zu,\"keys\":[%s]}\n",
           json_string(o.provider).c_str(), failed ? "\"failed\"" : "\"ok\"", n - failed, failed,
           json.c_str());
  } else if (failed == 0) {
    printf("all %zu key%s signed and verified\n", n, n == 1 ? "" : "s");
  } else {
    printf("%zu of %zu key%s failed\n", failed, n, n == 1 ? "" : "s");
  }
  return failed ? exit_signature : exit_ok;
}

}  // namespace vardek::client
