#include "client/signing.h"

#include <openssl/rsa.h>

#include "agentproto/agentproto.h"
#include "agentproto/sshsig.h"

namespace vardek::client {

namespace {

bool verify(const PublicKey &key, const EVP_MD *md, const Bytes &data, const Bytes &sig) {
  vardek::unique_ptr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX *pctx = nullptr;
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), &pctx, md, nullptr, key.pkey.get()) != 1)
    return false;
  if (key.family == KeyFamily::rsa && EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1)
    return false;
  return EVP_DigestVerify(ctx.get(), sig.data(), sig.size(), data.data(), data.size()) == 1;
}

}  // namespace

std::optional<SignPlan> plan_signature(const PublicKey &key, std::string_view alg,
                                       const Bytes &data, std::string &why) {
  SignPlan p;
  if (key.family == KeyFamily::rsa) {
    if (alg.empty()) alg = default_rsa_alg;
    if (alg == "rsa-sha2-256") {
      p.md = EVP_sha256();
    } else if (alg == "rsa-sha2-512") {
      p.md = EVP_sha512();
    } else {
      why = "unknown RSA signature algorithm (use rsa-sha2-256 or rsa-sha2-512)";
      return std::nullopt;
    }
    p.alg = alg;
    p.to_send = agent::digest_info(p.md, data);
  } else if (key.family == KeyFamily::ecdsa) {
    if (!alg.empty()) {
      why = "--alg applies to RSA keys only; an ECDSA key's hash is fixed by its curve";
      return std::nullopt;
    }
    p.alg = key.type;
    p.md = key.bits <= 256 ? EVP_sha256() : key.bits <= 384 ? EVP_sha384() : EVP_sha512();
    p.to_send = agent::digest(p.md, data);
  } else {
    why = "vardek cannot sign with " + key.type + " keys";
    return std::nullopt;
  }
  if (p.to_send.empty()) {
    why = "digest failed";
    return std::nullopt;
  }
  return p;
}

std::optional<Bytes> finish_signature(const PublicKey &key, const SignPlan &plan, const Bytes &data,
                                      const Bytes &raw, std::string &why) {
  Bytes blob;
  agent::put_string(blob, plan.alg);
  if (key.family == KeyFamily::rsa) {
    std::optional<Bytes> sig =
        agent::rsa_signature_block(raw, static_cast<size_t>(EVP_PKEY_get_size(key.pkey.get())));
    if (!sig) {
      why = raw.empty() ? "the signature is empty" : "the signature is longer than the modulus";
      return std::nullopt;
    }
    if (!verify(key, plan.md, data, *sig)) {
      why = "the signature does not verify with the public key";
      return std::nullopt;
    }
    agent::put_string(blob, *sig);
    return blob;
  }
  std::optional<Bytes> pair = agent::ecdsa_signature_pair(raw);
  if (!pair) {
    why = "the signature is not a DER (r, s) pair";
    return std::nullopt;
  }
  if (!verify(key, plan.md, data, raw)) {
    why = "the signature does not verify with the public key";
    return std::nullopt;
  }
  agent::put_string(blob, *pair);
  return blob;
}

}  // namespace vardek::client
