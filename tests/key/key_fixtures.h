// Shared pieces of the key-layer tests: the fixtures written by
// gen_fixtures.py, a decoder wrapper and SSH wire builders for hand-made
// blobs.
#ifndef VARDEK_TESTS_KEY_KEY_FIXTURES_H
#define VARDEK_TESTS_KEY_KEY_FIXTURES_H

#include <cstdint>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

#include "buffer/sshbuf-ptr.h"
#include "common/bytes.h"
#include "key/sshkey-ptr.h"
#include "key/sshkey.h"

namespace vardek::test {

// Fixture bytes by name; throws when the name is unknown.
inline const Bytes &fixture(const std::string &name) {
  static const std::map<std::string, Bytes> all = [] {
    std::map<std::string, Bytes> m;
    std::ifstream in(VARDEK_SOURCE_DIR "/tests/key/fixtures/fixtures.txt");
    if (!in) throw std::runtime_error("fixtures.txt not found");
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      size_t sp = line.find(' ');
      m[line.substr(0, sp)] = sp == std::string::npos ? Bytes{} : from_hex(line.substr(sp + 1));
    }
    return m;
  }();
  auto it = all.find(name);
  if (it == all.end()) throw std::out_of_range("no fixture " + name);
  return it->second;
}

inline std::string fixture_text(const std::string &name) {
  const Bytes &b = fixture(name);
  return std::string(b.begin(), b.end());
}

struct Decoded {
  int r = 0;
  unique_ptr<sshkey> key;
  size_t left = 0;  // unread bytes after the call
};

// Runs sshkey_from_blob_internal over a read-only view of `blob`.
inline Decoded decode(const Bytes &blob, int allow_cert = 1) {
  static const unsigned char empty = 0;
  unique_ptr<sshbuf> b(sshbuf_from(blob.empty() ? &empty : blob.data(), blob.size()));
  if (b == nullptr) throw std::runtime_error("sshbuf_from");
  Decoded d;
  sshkey *k = reinterpret_cast<sshkey *>(1);  // must be cleared by the decoder
  d.r = sshkey_from_blob_internal(b.get(), &k, allow_cert);
  d.key.reset(k);
  d.left = sshbuf_len(b.get());
  return d;
}

// The key's blob, or the error code as text when encoding fails.
inline Bytes encode(const sshkey *k, int force_plain = 0) {
  unsigned char *blob = nullptr;
  size_t len = 0;
  int r = to_blob(k, &blob, &len, force_plain);
  if (r != 0) throw std::runtime_error("to_blob failed: " + std::to_string(r));
  Bytes out(blob, blob + len);
  free(blob);
  return out;
}

// SSH wire encodings for blobs built by hand.
inline Bytes &operator+=(Bytes &a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
inline Bytes operator+(Bytes a, const Bytes &b) { return a += b; }
inline Bytes u8(uint8_t v) { return Bytes{v}; }
inline Bytes u32(uint32_t v) {
  return Bytes{uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}
inline Bytes str(const Bytes &b) { return u32(static_cast<uint32_t>(b.size())) + b; }
inline Bytes str(std::string_view s) { return str(Bytes(s.begin(), s.end())); }

// Splits the leading strings of a blob: the parts and what follows them.
struct Fields {
  std::vector<Bytes> strings;
  Bytes rest;
};
inline Fields split_strings(const Bytes &b, size_t count) {
  Fields f;
  size_t off = 0;
  for (size_t i = 0; i < count; i++) {
    if (b.size() - off < 4) throw std::runtime_error("short blob");
    uint32_t n = uint32_t(b[off]) << 24 | uint32_t(b[off + 1]) << 16 | uint32_t(b[off + 2]) << 8 |
                 b[off + 3];
    if (b.size() - off - 4 < n) throw std::runtime_error("short blob");
    f.strings.emplace_back(b.begin() + off + 4, b.begin() + off + 4 + n);
    off += 4 + n;
  }
  f.rest.assign(b.begin() + off, b.end());
  return f;
}

}  // namespace vardek::test

#endif
