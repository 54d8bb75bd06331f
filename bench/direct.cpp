// bench_direct: the Cryptoki calls vardek makes, made directly by a small
// loop, as the ceiling vardek is measured against. bench/run_bench.py calls
// it; each mode prints one line of "name=value" fields.
//
//   bench_direct sign MODULE PIN LABEL COUNT DATALEN
//       logs in on the first slot with a token, then signs COUNT times with
//       the private key whose public key is labelled LABEL, each time with
//       exactly the calls vardek makes for one sign request:
//         C_FindObjectsInit (CKA_CLASS private, CKA_ID, CKA_SIGN true)
//         C_FindObjects (max 1), C_FindObjectsFinal
//         C_SignInit (CKM_RSA_PKCS or CKM_ECDSA)
//         C_GetAttributeValue (CKA_ALWAYS_AUTHENTICATE)
//         C_Sign (DATALEN bytes, a buffer of the signature's size)
//       prints us_per_sign
//   bench_direct add MODULE PIN REPS
//       REPS times, what an add request makes on a token with only key
//       objects: load the module, then the calls (initialise, slot list,
//       token info, session, login, the public-key search with its
//       attribute reads, the certificate search); C_Finalize and unloading
//       after each, outside the time: ms per add (median, min)
//   bench_direct fill MODULE PIN PAIRS
//       generates PAIRS P-256 key pairs on the token (2 * PAIRS objects,
//       labels k0, k1, ...) for the add-latency runs
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
CK_FUNCTION_LIST *f = nullptr;

[[noreturn]] void die(const char *what, CK_RV rv = 0) {
  fprintf(stderr, "bench_direct: %s (rv 0x%lx)\n", what, rv);
  exit(1);
}

void check(CK_RV rv, const char *what) {
  if (rv != CKR_OK) die(what, rv);
}

void *load(const char *module) {
  void *h = dlopen(module, RTLD_NOW);
  if (h == nullptr) die("dlopen");
  auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(h, "C_GetFunctionList"));
  if (get == nullptr) die("no C_GetFunctionList");
  check(get(&f), "C_GetFunctionList");
  return h;
}

// Initialise, first slot with a token, session, login: what an add does
// before its searches.
CK_SESSION_HANDLE open_logged_in(const char *pin) {
  check(f->C_Initialize(nullptr), "C_Initialize");
  CK_INFO info;
  check(f->C_GetInfo(&info), "C_GetInfo");
  CK_ULONG n = 0;
  check(f->C_GetSlotList(CK_TRUE, nullptr, &n), "C_GetSlotList");
  if (n == 0) die("no slot with a token");
  std::vector<CK_SLOT_ID> slots(n);
  check(f->C_GetSlotList(CK_TRUE, slots.data(), &n), "C_GetSlotList");
  CK_TOKEN_INFO ti;
  check(f->C_GetTokenInfo(slots[0], &ti), "C_GetTokenInfo");
  CK_SESSION_HANDLE s = 0;
  check(f->C_OpenSession(slots[0], CKF_RW_SESSION | CKF_SERIAL_SESSION, nullptr, nullptr, &s),
        "C_OpenSession");
  check(f->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR *>(const_cast<char *>(pin)),
                   strlen(pin)),
        "C_Login");
  return s;
}

// Reads `types` of `obj` as vardek does: one size query, then the values.
void read_attributes(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE obj,
                     std::vector<CK_ATTRIBUTE_TYPE> types) {
  std::vector<CK_ATTRIBUTE> t;
  for (CK_ATTRIBUTE_TYPE ty : types) t.push_back({ty, nullptr, 0});
  check(f->C_GetAttributeValue(s, obj, t.data(), t.size()), "C_GetAttributeValue (size)");
  std::vector<std::vector<unsigned char>> bufs;
  for (auto &a : t) {
    bufs.emplace_back(a.ulValueLen);
    a.pValue = bufs.back().data();
  }
  check(f->C_GetAttributeValue(s, obj, t.data(), t.size()), "C_GetAttributeValue");
}

size_t search(CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls) {
  CK_ATTRIBUTE filter = {CKA_CLASS, &cls, sizeof cls};
  check(f->C_FindObjectsInit(s, &filter, 1), "C_FindObjectsInit");
  size_t found = 0;
  for (;;) {
    CK_OBJECT_HANDLE obj;
    CK_ULONG n = 0;
    check(f->C_FindObjects(s, &obj, 1, &n), "C_FindObjects");
    if (n == 0) break;
    found++;
    if (cls != CKO_PUBLIC_KEY) continue;
    CK_KEY_TYPE kt = 0;
    unsigned char label[256];
    CK_ATTRIBUTE first[] = {{CKA_KEY_TYPE, &kt, sizeof kt}, {CKA_LABEL, label, sizeof label}};
    check(f->C_GetAttributeValue(s, obj, first, 2), "C_GetAttributeValue");
    if (kt == CKK_RSA)
      read_attributes(s, obj, {CKA_ID, CKA_LABEL, CKA_MODULUS, CKA_PUBLIC_EXPONENT});
    else
      read_attributes(s, obj, {CKA_ID, CKA_LABEL, CKA_EC_POINT, CKA_EC_PARAMS});
  }
  check(f->C_FindObjectsFinal(s), "C_FindObjectsFinal");
  return found;
}

// This process's own peak RSS (VmHWM). getrusage's ru_maxrss would also
// count the parent's memory copied at fork, before the exec.
long peak_rss_kib() {
  FILE *status = fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (fgets(line, sizeof line, status) != nullptr) {
    if (strncmp(line, "VmHWM:", 6) == 0) kib = atol(line + 6);
  }
  fclose(status);
  return kib;
}

int mode_add(char **a) {
  int reps = std::atoi(a[2]);
  std::vector<double> ms;
  size_t keys = 0;
  for (int i = 0; i < reps; i++) {
    // The module is loaded afresh for every add and unloaded after it, as
    // vardek's add and remove do.
    auto t0 = Clock::now();
    void *h = load(a[0]);
    CK_SESSION_HANDLE s = open_logged_in(a[1]);
    keys = search(s, CKO_PUBLIC_KEY);
    search(s, CKO_CERTIFICATE);
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    check(f->C_Finalize(nullptr), "C_Finalize");
    dlclose(h);
  }
  std::sort(ms.begin(), ms.end());
  printf("ms_median=%.3f ms_min=%.3f keys=%zu rss_kib=%ld\n", ms[ms.size() / 2], ms[0], keys,
         peak_rss_kib());
  return 0;
}

int mode_sign(char **a) {
  load(a[0]);
  CK_SESSION_HANDLE s = open_logged_in(a[1]);
  // The key's id and type, from its public-key object (not timed).
  CK_OBJECT_CLASS pub = CKO_PUBLIC_KEY;
  std::string label = a[2];
  CK_ATTRIBUTE by_label[] = {{CKA_CLASS, &pub, sizeof pub},
                             {CKA_LABEL, label.data(), label.size()}};
  check(f->C_FindObjectsInit(s, by_label, 2), "C_FindObjectsInit");
  CK_OBJECT_HANDLE pobj;
  CK_ULONG n = 0;
  check(f->C_FindObjects(s, &pobj, 1, &n), "C_FindObjects");
  check(f->C_FindObjectsFinal(s), "C_FindObjectsFinal");
  if (n != 1) die("no public key with that label");
  CK_KEY_TYPE kt = 0;
  unsigned char id[64];
  CK_ATTRIBUTE ta[] = {{CKA_KEY_TYPE, &kt, sizeof kt}, {CKA_ID, id, sizeof id}};
  check(f->C_GetAttributeValue(s, pobj, ta, 2), "C_GetAttributeValue");
  CK_ULONG id_len = ta[1].ulValueLen;
  size_t siglen = 0;
  if (kt == CKK_RSA) {
    CK_ATTRIBUTE m = {CKA_MODULUS, nullptr, 0};
    check(f->C_GetAttributeValue(s, pobj, &m, 1), "C_GetAttributeValue");
    siglen = m.ulValueLen;
  } else {
    CK_ATTRIBUTE p = {CKA_EC_POINT, nullptr, 0};
    check(f->C_GetAttributeValue(s, pobj, &p, 1), "C_GetAttributeValue");
    // DER OCTET STRING of 04||x||y: r||s is as long as x||y.
    siglen = p.ulValueLen > 130 ? p.ulValueLen - 4 : p.ulValueLen - 3;
  }
  CK_MECHANISM mech = {kt == CKK_RSA ? CKM_RSA_PKCS : CKM_ECDSA, nullptr, 0};

  long count = std::atol(a[3]);
  std::vector<unsigned char> data(static_cast<size_t>(std::atol(a[4])));
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<unsigned char>(i * 7 + 1);
  std::vector<unsigned char> sig(siglen);
  CK_OBJECT_CLASS priv = CKO_PRIVATE_KEY;
  CK_BBOOL yes = CK_TRUE;
  auto one = [&] {
    CK_ATTRIBUTE filter[] = {
        {CKA_CLASS, &priv, sizeof priv}, {CKA_ID, id, id_len}, {CKA_SIGN, &yes, sizeof yes}};
    check(f->C_FindObjectsInit(s, filter, 3), "C_FindObjectsInit");
    CK_OBJECT_HANDLE obj;
    CK_ULONG found = 0;
    check(f->C_FindObjects(s, &obj, 1, &found), "C_FindObjects");
    check(f->C_FindObjectsFinal(s), "C_FindObjectsFinal");
    if (found != 1) die("no private key");
    check(f->C_SignInit(s, &mech, obj), "C_SignInit");
    CK_BBOOL always = CK_FALSE;
    CK_ATTRIBUTE aa = {CKA_ALWAYS_AUTHENTICATE, &always, sizeof always};
    check(f->C_GetAttributeValue(s, obj, &aa, 1), "C_GetAttributeValue");
    CK_ULONG len = sig.size();
    check(f->C_Sign(s, data.data(), data.size(), sig.data(), &len), "C_Sign");
  };
  for (long i = 0; i < std::max(1L, count / 20); i++) one();  // warm-up
  auto t0 = Clock::now();
  for (long i = 0; i < count; i++) one();
  double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
  printf("us_per_sign=%.3f\n", us / static_cast<double>(count));
  return 0;
}

int mode_fill(char **a) {
  load(a[0]);
  CK_SESSION_HANDLE s = open_logged_in(a[1]);
  long pairs = std::atol(a[2]);
  // DER of the P-256 curve's object identifier.
  unsigned char p256[] = {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};
  CK_BBOOL yes = CK_TRUE;
  CK_MECHANISM mech = {CKM_EC_KEY_PAIR_GEN, nullptr, 0};
  for (long i = 0; i < pairs; i++) {
    std::string label = "k" + std::to_string(i);
    unsigned char id[4] = {static_cast<unsigned char>(i >> 24), static_cast<unsigned char>(i >> 16),
                           static_cast<unsigned char>(i >> 8), static_cast<unsigned char>(i)};
    CK_ATTRIBUTE pub[] = {{CKA_TOKEN, &yes, sizeof yes},
                          {CKA_VERIFY, &yes, sizeof yes},
                          {CKA_EC_PARAMS, p256, sizeof p256},
                          {CKA_LABEL, label.data(), label.size()},
                          {CKA_ID, id, sizeof id}};
    CK_ATTRIBUTE priv[] = {{CKA_TOKEN, &yes, sizeof yes},
                           {CKA_PRIVATE, &yes, sizeof yes},
                           {CKA_SIGN, &yes, sizeof yes},
                           {CKA_LABEL, label.data(), label.size()},
                           {CKA_ID, id, sizeof id}};
    CK_OBJECT_HANDLE hpub, hpriv;
    check(f->C_GenerateKeyPair(s, &mech, pub, 5, priv, 5, &hpub, &hpriv), "C_GenerateKeyPair");
  }
  check(f->C_Finalize(nullptr), "C_Finalize");
  printf("objects=%ld\n", 2 * pairs);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "sign" && argc == 7) return mode_sign(argv + 2);
  if (mode == "add" && argc == 5) return mode_add(argv + 2);
  if (mode == "fill" && argc == 5) return mode_fill(argv + 2);
  fprintf(stderr, "usage: see the head of bench/direct.cpp\n");
  return 2;
}
