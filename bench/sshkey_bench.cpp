// The work a sign request does before the token is asked: decoding the key
// blob the agent sends, and finding the matching key among those loaded.
// Also the decode and signature check of a certificate blob, the costliest
// blob there is.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "buffer/sshbuf-ptr.h"
#include "buffer/sshbuf.h"
#include "key/sshkey.h"
#include "service/key_list.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Blobs written by the key tests' independent generator, by name.
const Bytes &fixture(const std::string &name) {
  static const std::map<std::string, Bytes> all = [] {
    std::map<std::string, Bytes> m;
    std::ifstream in(VARDEK_SOURCE_DIR "/tests/key/fixtures/fixtures.txt");
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      size_t sp = line.find(' ');
      if (sp == std::string::npos) continue;
      Bytes b;
      for (size_t i = sp + 1; i + 1 < line.size(); i++) {
        if (line[i] == ' ') continue;
        unsigned v;
        if (std::sscanf(line.c_str() + i, "%2x", &v) != 1) break;
        b.push_back(static_cast<unsigned char>(v));
        i++;
      }
      m[line.substr(0, sp)] = b;
    }
    return m;
  }();
  static const Bytes none;
  auto it = all.find(name);
  return it == all.end() ? none : it->second;
}

sshkey *decode(const Bytes &blob) {
  vardek::unique_ptr<sshbuf> b(sshbuf_from(blob.data(), blob.size()));
  sshkey *k = nullptr;
  if (b == nullptr || sshkey_from_blob_internal(b.get(), &k, 1) != 0) return nullptr;
  return k;
}

const char *const kNames[] = {"key_rsa2048", "key_ecdsa_nistp256", "cert_rsa_by_rsa_sha512",
                              "cert_ecdsa256_by_ecdsa384"};

void BM_DecodeBlob(benchmark::State &state) {
  const Bytes &blob = fixture(kNames[state.range(0)]);
  state.SetLabel(kNames[state.range(0)]);
  if (blob.empty()) {
    state.SkipWithError("fixture missing");
    return;
  }
  for (auto _ : state) {
    sshkey *k = decode(blob);
    if (k == nullptr) {
      state.SkipWithError("decode");
      break;
    }
    sshkey_free(k);
  }
}
BENCHMARK(BM_DecodeBlob)->DenseRange(0, 3);

// The loaded list holds range(0) RSA keys ahead of the one asked for, the
// worst case of the front-to-back search.
void BM_LookupLast(benchmark::State &state) {
  const Bytes &rsa = fixture("key_rsa2048");
  const Bytes &ec = fixture("key_ecdsa_nistp256");
  key_list_init();
  for (int64_t i = 0; i < state.range(0); i++) {
    Bytes other = rsa;
    other[other.size() - 1] ^= static_cast<unsigned char>(i + 1);  // a different modulus
    other[other.size() - 2] ^= static_cast<unsigned char>((i + 1) >> 8);
    sshkey *k = decode(other);
    if (k == nullptr) {
      state.SkipWithError("decode");
      return;
    }
    key_list_add(k, "bench", "");
  }
  key_list_add(decode(ec), "bench", "");
  sshkey *wanted = decode(ec);
  for (auto _ : state) benchmark::DoNotOptimize(lookup_key(wanted));
  sshkey_free(wanted);
  key_list_remove_provider("bench");
}
BENCHMARK(BM_LookupLast)->Arg(1)->Arg(16)->Arg(128);

}  // namespace

BENCHMARK_MAIN();
