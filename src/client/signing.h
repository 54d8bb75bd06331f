// Signing as an agent does it through vardek: what is sent for a key and an
// algorithm, the local check of vardek's answer against the public key, and
// the SSH signature blob built from it.
#ifndef VARDEK_CLIENT_SIGNING_H
#define VARDEK_CLIENT_SIGNING_H

#include <optional>
#include <string>
#include <string_view>

#include "client/pubkey.h"

namespace vardek::client {

struct SignPlan {
  std::string alg;  // SSH signature algorithm, e.g. "rsa-sha2-512"
  const EVP_MD *md = nullptr;
  Bytes to_send;  // RSA: DigestInfo of the data; ECDSA: its digest
};

// The RSA algorithm used when none is asked for.
inline constexpr std::string_view default_rsa_alg = "rsa-sha2-512";

// Plans a signature of `data` by `key`. `alg` is "" (the default),
// "rsa-sha2-256" or "rsa-sha2-512"; it must be "" for ECDSA keys, whose
// hash is fixed by the curve. nullopt with `why` set otherwise.
std::optional<SignPlan> plan_signature(const PublicKey &key, std::string_view alg,
                                       const Bytes &data, std::string &why);

// Verifies `raw`, the signature vardek returned, over `data` with the public
// key, and returns the SSH signature blob: string algorithm, string
// signature (RSA: the PKCS#1 block as long as the modulus; ECDSA: mpint r
// and mpint s). nullopt with `why` set when it does not verify.
std::optional<Bytes> finish_signature(const PublicKey &key, const SignPlan &plan, const Bytes &data,
                                      const Bytes &raw, std::string &why);

}  // namespace vardek::client

#endif
