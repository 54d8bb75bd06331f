#include "client/encoding.h"

#include <openssl/evp.h>

namespace vardek::client {

std::string base64(const Bytes &b) {
  std::string out(4 * ((b.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), b.data(),
                          static_cast<int>(b.size()));
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

std::optional<Bytes> unbase64(std::string_view s) {
  if (s.size() % 4 != 0) return std::nullopt;
  for (char c : s) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '+' || c == '/' || c == '=';
    if (!ok) return std::nullopt;
  }
  Bytes out(s.size() / 4 * 3 + 1);
  int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char *>(s.data()),
                          static_cast<int>(s.size()));
  if (n < 0) return std::nullopt;
  // EVP_DecodeBlock counts the bytes behind "=" padding too.
  size_t len = static_cast<size_t>(n);
  for (size_t i = s.size(); i > 0 && s[i - 1] == '=' && len > 0; i--) len--;
  out.resize(len);
  return out;
}

std::string fingerprint(const Bytes &blob) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int mdlen = 0;
  if (EVP_Digest(blob.data(), blob.size(), md, &mdlen, EVP_sha256(), nullptr) != 1) return "";
  std::string b = base64(Bytes(md, md + mdlen));
  while (!b.empty() && b.back() == '=') b.pop_back();
  return "SHA256:" + b;
}

}  // namespace vardek::client
