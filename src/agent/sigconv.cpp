#include "agent/sigconv.h"

#include <string_view>

#include "agentproto/sshsig.h"

namespace vardek::agent {

namespace {

// The length of a positive mpint's magnitude; 0 when it is not one.
size_t mpint_bytes(const Bytes &v) {
  if (v.empty() || (v[0] & 0x80) != 0) return 0;
  size_t skip = 0;
  while (skip < v.size() && v[skip] == 0) skip++;
  return v.size() - skip;
}

}  // namespace

std::optional<KeyShape> key_shape(const Bytes &blob) {
  Reader r(blob);
  KeyShape k;
  if (!r.string(k.type)) return std::nullopt;
  if (k.type == "ssh-rsa") {
    Bytes e, n;
    if (!r.string(e) || !r.string(n) || r.left() != 0) return std::nullopt;
    k.kind = KeyKind::rsa;
    k.modulus_bytes = mpint_bytes(n);
    if (mpint_bytes(e) == 0 || k.modulus_bytes == 0) return std::nullopt;
    return k;
  }
  std::string curve;
  Bytes point;
  if (!k.type.starts_with("ecdsa-sha2-") || !r.string(curve) || !r.string(point) || r.left() != 0 ||
      k.type != "ecdsa-sha2-" + curve)
    return std::nullopt;
  const SshCurve *c = ssh_curve_named(curve);
  if (c == nullptr) return std::nullopt;
  k.kind = KeyKind::ecdsa;
  k.md = c->md();
  return k;
}

std::optional<SignPlan> plan_sign(const KeyShape &key, const Bytes &data, uint32_t flags) {
  SignPlan p;
  if (key.kind == KeyKind::ecdsa) {
    p.alg = key.type;
    p.to_send = digest(key.md, data);
  } else if ((flags & SIGN_FLAG_RSA_SHA2_256) != 0) {
    p.alg = "rsa-sha2-256";
    p.to_send = digest_info(EVP_sha256(), data);
  } else if ((flags & SIGN_FLAG_RSA_SHA2_512) != 0) {
    p.alg = "rsa-sha2-512";
    p.to_send = digest_info(EVP_sha512(), data);
  } else {
    p.alg = "ssh-rsa";
    p.to_send = digest_info(EVP_sha1(), data);
  }
  if (p.to_send.empty()) return std::nullopt;
  return p;
}

std::optional<Bytes> ssh_signature(const KeyShape &key, const SignPlan &plan, const Bytes &raw) {
  Bytes blob;
  put_string(blob, plan.alg);
  std::optional<Bytes> sig = key.kind == KeyKind::rsa ? rsa_signature_block(raw, key.modulus_bytes)
                                                      : ecdsa_signature_pair(raw);
  if (!sig) return std::nullopt;
  put_string(blob, *sig);
  return blob;
}

}  // namespace vardek::agent
