#include "client/pubkey.h"

#include <openssl/core_names.h>

#include "agentproto/agentproto.h"
#include "agentproto/sshsig.h"

namespace vardek::client {

namespace {

// A positive mpint: no sign bit set, no superfluous leading zero byte.
vardek::unique_ptr<BIGNUM> read_mpint(agent::Reader &r) {
  Bytes v;
  if (!r.string(v) || v.empty() || (v[0] & 0x80) != 0) return nullptr;
  if (v.size() > 1 && v[0] == 0 && (v[1] & 0x80) == 0) return nullptr;
  return vardek::unique_ptr<BIGNUM>(BN_bin2bn(v.data(), static_cast<int>(v.size()), nullptr));
}

vardek::unique_ptr<EVP_PKEY> from_params(const char *alg, OSSL_PARAM_BLD *bld) {
  vardek::unique_ptr<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld));
  vardek::unique_ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, alg, nullptr));
  EVP_PKEY *pk = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &pk, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
    return nullptr;
  return vardek::unique_ptr<EVP_PKEY>(pk);
}

bool read_rsa(agent::Reader &r, PublicKey &k, std::string &why) {
  vardek::unique_ptr<BIGNUM> e = read_mpint(r);
  vardek::unique_ptr<BIGNUM> n = e ? read_mpint(r) : nullptr;
  if (!n || r.left() != 0) {
    why = "malformed RSA key blob";
    return false;
  }
  vardek::unique_ptr<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
  if (!bld || OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1) {
    why = "out of memory";
    return false;
  }
  k.pkey = from_params("RSA", bld.get());
  if (!k.pkey) {
    why = "RSA key rejected by libcrypto";
    return false;
  }
  k.family = KeyFamily::rsa;
  k.bits = EVP_PKEY_get_bits(k.pkey.get());
  return true;
}

bool read_ecdsa(agent::Reader &r, PublicKey &k, std::string &why) {
  std::string curve_name;
  Bytes point;
  if (!r.string(curve_name) || !r.string(point) || r.left() != 0) {
    why = "malformed ECDSA key blob";
    return false;
  }
  const agent::SshCurve *curve = agent::ssh_curve_named(curve_name);
  if (curve != nullptr && k.type != "ecdsa-sha2-" + curve_name) curve = nullptr;
  if (curve == nullptr) {
    why = "unsupported or mismatched curve \"" + curve_name + "\"";
    return false;
  }
  vardek::unique_ptr<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
  if (!bld ||
      OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, curve->ossl, 0) != 1 ||
      OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                       point.size()) != 1) {
    why = "out of memory";
    return false;
  }
  k.pkey = from_params("EC", bld.get());
  if (!k.pkey) {
    why = "EC point is not on curve " + curve_name;
    return false;
  }
  k.family = KeyFamily::ecdsa;
  k.bits = curve->bits;
  return true;
}

}  // namespace

std::optional<PublicKey> parse_public_key(const Bytes &blob, std::string &why) {
  agent::Reader r(blob);
  PublicKey k;
  if (!r.string(k.type) || k.type.empty()) {
    why = "malformed key blob";
    return std::nullopt;
  }
  bool ok = true;
  if (k.type == "ssh-rsa")
    ok = read_rsa(r, k, why);
  else if (k.type.starts_with("ecdsa-sha2-"))
    ok = read_ecdsa(r, k, why);
  if (!ok) return std::nullopt;
  return k;
}

std::string family_name(const PublicKey &k) {
  switch (k.family) {
    case KeyFamily::rsa:
      return "RSA";
    case KeyFamily::ecdsa:
      return "ECDSA";
    case KeyFamily::other:
      break;
  }
  return k.type;
}

}  // namespace vardek::client
