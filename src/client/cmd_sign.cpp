// vardek-client sign: one signature as an agent asks for it, checked locally.
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "client/commands.h"
#include "client/explain.h"
#include "client/provider.h"
#include "client/signing.h"
#include "client/textout.h"

namespace vardek::client {

namespace {

bool read_input(const std::string &path, Bytes &data, std::string &why) {
  int fd = path == "-" ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    why = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  uint8_t buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = "cannot read " + path + ": " + strerror(errno);
      break;
    }
    data.insert(data.end(), buf, buf + n);
  }
  if (fd != STDIN_FILENO) close(fd);
  return n == 0;
}

}  // namespace

int run_sign(const Options &o) {
  Bytes data;
  std::string why;
  if (!read_input(o.in, data, why)) {
    report_failure(o, "input", why);
    return exit_usage;
  }
  OpenProvider p(o);
  if (int st = p.open(); st != exit_ok) return st;
  const TokenKey *k = select_key(p.keys(), o.key);
  if (k == nullptr) {
    report_failure(o, "no-such-key",
                   "no key " + o.key + " among the " + std::to_string(p.keys().size()) +
                       " keys of " + o.provider + " (see vardek-client list)");
    return exit_usage;
  }
  if (!k->key) {
    report_failure(o, "unreadable", "key " + std::to_string(k->index) + ": " + k->unreadable);
    return exit_signature;
  }
  auto plan = plan_signature(*k->key, o.alg, data, why);
  if (!plan) {
    report_failure(o, k->key->family == KeyFamily::other ? "unsupported" : "usage",
                   "key " + std::to_string(k->index) + ": " + why);
    return k->key->family == KeyFamily::other ? exit_signature : exit_usage;
  }
  size_t mark = p.session().log().size();
  SignResult r = p.session().sign(k->identity.blob, plan->to_send);
  if (r.kind != SignResult::Kind::signature) {
    bool refused = r.kind == SignResult::Kind::refused;
    report_failure(
        o, refused ? "refused" : "vardek-failed",
        "key " + std::to_string(k->index) + ": " + (refused ? p.sign_refusal(*k, mark) : r.detail));
    return exit_signature;
  }
  auto blob = finish_signature(*k->key, *plan, data, r.signature, why);
  if (!blob) {
    report_failure(o, "bad-signature", "key " + std::to_string(k->index) + ": " + why);
    return exit_signature;
  }
  if (o.json) {
    printf(
        "{\"provider\":%s,\"status\":\"ok\",\"index\":%d,\"fingerprint\":%s,"
        "\"algorithm\":%s,\"verified\":true,\"signature\":%s}\n",
        json_string(o.provider).c_str(), k->index, json_string(k->fingerprint).c_str(),
        json_string(plan->alg).c_str(), json_string(base64(*blob)).c_str());
  } else {
    (void)fprintf(stderr, "vardek-client: key %d (%s %s): %s signature verified\n", k->index,
                  k->description().c_str(), k->fingerprint.c_str(), plan->alg.c_str());
    printf("%s\n", base64(*blob).c_str());
  }
  return exit_ok;
}

}  // namespace vardek::client
