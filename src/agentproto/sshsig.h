// The pieces of an SSH signature that an agent builds around vardek's raw
// answer: the digest and DigestInfo it sends for RSA keys, the RSA block
// padded to the modulus, and the ECDSA (r, s) pair as two mpints.
#ifndef VARDEK_AGENTPROTO_SSHSIG_H
#define VARDEK_AGENTPROTO_SSHSIG_H

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <optional>
#include <string_view>

#include "agentproto/agentproto.h"

namespace vardek::agent {

// An ECDSA curve that SSH names: its name inside a key blob
// ("ecdsa-sha2-" + ssh), libcrypto's NID and group name, its size, and the
// hash its signatures are made over.
struct SshCurve {
  std::string_view ssh;
  int nid;
  const char *ossl;
  int bits;
  const EVP_MD *(*md)();
};

// The curve SSH calls `ssh`, or the curve with libcrypto NID `nid`; nullptr
// for a curve SSH has no name for.
const SshCurve *ssh_curve_named(std::string_view ssh);
const SshCurve *ssh_curve_of_nid(int nid);

// The digest of `data`; empty when the digest fails.
Bytes digest(const EVP_MD *md, const Bytes &data);

// The DER DigestInfo of `data`'s digest (RFC 8017, section 9.2), which an
// RSA key signs; `md` is SHA-1, SHA-256 or SHA-512. Empty for another
// digest or when the digest fails.
Bytes digest_info(const EVP_MD *md, const Bytes &data);

// Appends `v` as an SSH mpint (a leading zero byte when its top bit is set).
void put_mpint(Bytes &b, const BIGNUM *v);

// vardek's raw RSA signature left-padded with zeros to the modulus size, as
// the SSH form has it (a token may drop leading zero bytes); nullopt when it
// is empty or longer than the modulus.
std::optional<Bytes> rsa_signature_block(const Bytes &raw, size_t modulus_bytes);

// The SSH form (mpint r, mpint s) of a DER ECDSA-Sig-Value that fills `der`
// exactly; nullopt when it is anything else.
std::optional<Bytes> ecdsa_signature_pair(const Bytes &der);

}  // namespace vardek::agent

#endif
