// Text forms of binary data the client prints: base64 and SHA256
// fingerprints of SSH public key blobs.
#ifndef VARDEK_CLIENT_ENCODING_H
#define VARDEK_CLIENT_ENCODING_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vardek::client {

using Bytes = std::vector<uint8_t>;

// Standard base64 with "=" padding.
std::string base64(const Bytes &b);
// Decodes standard padded base64; nullopt on any malformed input.
std::optional<Bytes> unbase64(std::string_view s);
// "SHA256:" and the unpadded base64 of the SHA-256 digest of `blob`.
std::string fingerprint(const Bytes &blob);

}  // namespace vardek::client

#endif
