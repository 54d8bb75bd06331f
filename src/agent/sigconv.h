// What the agent sends vardek for a sign request, and the SSH signature it
// builds from vardek's raw answer: RSA keys get a DigestInfo and give back a
// PKCS#1 block; ECDSA keys get the hash of their curve and give back DER
// (r, s).
#ifndef VARDEK_AGENT_SIGCONV_H
#define VARDEK_AGENT_SIGCONV_H

#include <openssl/evp.h>

#include <cstdint>
#include <optional>
#include <string>

#include "agentproto/agentproto.h"

namespace vardek::agent {

// Sign request flags of the agent protocol.
inline constexpr uint32_t SIGN_FLAG_RSA_SHA2_256 = 2;
inline constexpr uint32_t SIGN_FLAG_RSA_SHA2_512 = 4;

enum class KeyKind { rsa, ecdsa };

// What a key blob says about signing with it.
struct KeyShape {
  KeyKind kind = KeyKind::rsa;
  std::string type;            // blob type, e.g. "ecdsa-sha2-nistp384"
  size_t modulus_bytes = 0;    // RSA only
  const EVP_MD *md = nullptr;  // ECDSA: the curve's hash
};

// Reads the type, and the modulus size or curve, of an RSA or ECDSA blob;
// nullopt for anything else or a malformed blob.
std::optional<KeyShape> key_shape(const Bytes &blob);

struct SignPlan {
  std::string alg;  // SSH signature algorithm name
  Bytes to_send;    // RSA: DigestInfo of the data's hash; ECDSA: the hash
};

// The algorithm the flags pick (SHA-256 before SHA-512, SHA-1 without
// either; ECDSA ignores them) and the bytes vardek signs. nullopt when the
// digest fails.
std::optional<SignPlan> plan_sign(const KeyShape &key, const Bytes &data, uint32_t flags);

// The SSH signature blob (string algorithm, string signature) from vardek's
// raw signature: RSA left-padded with zeros to the modulus size, ECDSA as
// mpint r, mpint s. nullopt when `raw` does not fit the key.
std::optional<Bytes> ssh_signature(const KeyShape &key, const SignPlan &plan, const Bytes &raw);

}  // namespace vardek::agent

#endif
