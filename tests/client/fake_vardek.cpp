// A stand-in for vardek that answers the agent protocol from a software key,
// so the client's handling of every answer can be tested without a token and
// including answers a healthy token never gives. Set up by the environment:
//   FAKE_VARDEK_KEY   PEM private key (RSA or P-256/384/521) whose public
//                     blob the add request answers, labelled "fake key"
//   FAKE_VARDEK_MODE  ok (default), reason0, reason1, reason3, refuse,
//                     corrupt (a signature with one bit flipped), die (exit
//                     255 on a sign request), garbage (reply type 99 to sign)
//   FAKE_VARDEK_LABEL the key's label (default "fake key")
//   FAKE_VARDEK_LOG   file that receives one line per event: "argv ARGS",
//                     "add PROVIDER PIN-IN-HEX", "sign DATA-IN-HEX",
//                     "remove PROVIDER", "env NAME" for each variable named
//                     in FAKE_VARDEK_WATCH that is set in the environment
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>

#include "agentproto/agentproto.h"

using namespace vardek::agent;

namespace {

FILE *logf = nullptr;

std::string hex(const Bytes &b) {
  static const char d[] = "0123456789abcdef";
  std::string s;
  for (uint8_t c : b) {
    s += d[c >> 4];
    s += d[c & 15];
  }
  return s;
}

void note(const std::string &line) {
  if (logf == nullptr) return;
  fprintf(logf, "%s\n", line.c_str());
  fflush(logf);
}

bool read_exact(uint8_t *p, size_t n) {
  while (n > 0) {
    ssize_t r = read(0, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

void send(const Bytes &body) {
  Bytes f = frame(body);
  if (write(1, f.data(), f.size()) != static_cast<ssize_t>(f.size())) _exit(1);
}

void put_bn_mpint(Bytes &b, const BIGNUM *v) {
  Bytes m(static_cast<size_t>(BN_num_bytes(v)));
  BN_bn2bin(v, m.data());
  if (!m.empty() && (m[0] & 0x80)) m.insert(m.begin(), 0);
  put_string(b, m);
}

Bytes public_blob(EVP_PKEY *pk) {
  Bytes b;
  if (EVP_PKEY_is_a(pk, "RSA")) {
    BIGNUM *n = nullptr, *e = nullptr;
    EVP_PKEY_get_bn_param(pk, OSSL_PKEY_PARAM_RSA_N, &n);
    EVP_PKEY_get_bn_param(pk, OSSL_PKEY_PARAM_RSA_E, &e);
    put_string(b, "ssh-rsa");
    put_bn_mpint(b, e);
    put_bn_mpint(b, n);
    BN_free(n);
    BN_free(e);
    return b;
  }
  char group[64];
  EVP_PKEY_get_utf8_string_param(pk, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, nullptr);
  std::string curve = std::string(group) == "prime256v1"  ? "nistp256"
                      : std::string(group) == "secp384r1" ? "nistp384"
                                                          : "nistp521";
  Bytes point(256);
  size_t len = 0;
  EVP_PKEY_get_octet_string_param(pk, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(), &len);
  point.resize(len);
  put_string(b, "ecdsa-sha2-" + curve);
  put_string(b, curve);
  put_string(b, point);
  return b;
}

// Signs `data` as it comes, as a token does: PKCS#1 v1.5 padding of the
// bytes for RSA, DER (r, s) over the digest for ECDSA.
Bytes raw_sign(EVP_PKEY *pk, const Bytes &data) {
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(pk, nullptr),
                                                                  EVP_PKEY_CTX_free);
  size_t len = 0;
  if (EVP_PKEY_sign_init(ctx.get()) != 1) return {};
  if (EVP_PKEY_is_a(pk, "RSA")) EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
  if (EVP_PKEY_sign(ctx.get(), nullptr, &len, data.data(), data.size()) != 1) return {};
  Bytes sig(len);
  if (EVP_PKEY_sign(ctx.get(), sig.data(), &len, data.data(), data.size()) != 1) return {};
  sig.resize(len);
  return sig;
}

}  // namespace

int main(int argc, char **argv) {
  const char *mode_env = getenv("FAKE_VARDEK_MODE");
  std::string mode = mode_env ? mode_env : "ok";
  if (const char *l = getenv("FAKE_VARDEK_LOG")) logf = fopen(l, "a");
  std::string args = "argv";
  for (int i = 1; i < argc; i++) args += std::string(" ") + argv[i];
  note(args);
  if (const char *w = getenv("FAKE_VARDEK_WATCH")) {
    std::istringstream names(w);
    std::string name;
    while (names >> name)
      if (getenv(name.c_str()) != nullptr) note("env " + name);
  }
  EVP_PKEY *pk = nullptr;
  if (const char *k = getenv("FAKE_VARDEK_KEY")) {
    if (FILE *f = fopen(k, "r")) {
      pk = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
      fclose(f);
    }
  }
  if (pk == nullptr) return 2;
  Bytes blob = public_blob(pk);
  for (;;) {
    uint8_t hdr[4];
    if (!read_exact(hdr, 4)) return 0;
    uint32_t len;
    Reader(hdr, 4).u32(len);
    if (len == 0 || len > 10240) return 11;
    Bytes body(len);
    if (!read_exact(body.data(), len)) return 0;
    Reader r(body.data() + 1, len - 1);
    if (body[0] == AGENTC_ADD_SMARTCARD_KEY) {
      std::string provider;
      Bytes pin;
      r.string(provider);
      r.string(pin);
      note("add " + provider + " " + hex(pin));
      if (mode.starts_with("reason")) {
        Bytes out{AGENT_FAILURE};
        put_u32(out, static_cast<uint32_t>(mode[6] - '0'));
        send(out);
        continue;
      }
      Bytes out{AGENT_IDENTITIES_ANSWER};
      put_u32(out, 1);
      put_string(out, blob);
      const char *label = getenv("FAKE_VARDEK_LABEL");
      put_string(out, label ? label : "fake key");
      send(out);
    } else if (body[0] == AGENTC_SIGN_REQUEST) {
      Bytes key, data;
      r.string(key);
      r.string(data);
      note("sign " + hex(data));
      if (mode == "die") _exit(255);
      if (mode == "garbage") {
        send(Bytes{99});
        continue;
      }
      Bytes sig = key == blob && mode != "refuse" ? raw_sign(pk, data) : Bytes{};
      if (sig.empty()) {
        send(Bytes{AGENT_SIGN_FAILURE});
        continue;
      }
      if (mode == "corrupt") sig[sig.size() / 2] ^= 0x01;
      Bytes out{AGENT_SIGN_RESPONSE};
      put_string(out, sig);
      send(out);
    } else if (body[0] == AGENTC_REMOVE_SMARTCARD_KEY) {
      std::string provider;
      r.string(provider);
      note("remove " + provider);
      send(Bytes{AGENT_SUCCESS});
    }
  }
}
