#include "client/p11view.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "agentproto/agentproto.h"
#include "agentproto/sshsig.h"
#include "client/p11names.h"
#include "util/ossl_ptr.h"

VARDEK_DELETER(ASN1_OBJECT, ASN1_OBJECT_free);

namespace vardek::client {

namespace {

// No token holds more objects of one class than a user reads through.
constexpr CK_ULONG max_objects = 512;

std::string trimmed(const unsigned char *p, size_t n) {
  std::string s(reinterpret_cast<const char *>(p), n);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

std::optional<Bytes> attr(CK_FUNCTION_LIST *f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o,
                          CK_ATTRIBUTE_TYPE type) {
  CK_ATTRIBUTE a = {type, nullptr, 0};
  if (f->C_GetAttributeValue(s, o, &a, 1) != CKR_OK || a.ulValueLen == CK_UNAVAILABLE_INFORMATION ||
      a.ulValueLen > 1 << 20)
    return std::nullopt;
  Bytes v(a.ulValueLen);
  a.pValue = v.data();
  if (f->C_GetAttributeValue(s, o, &a, 1) != CKR_OK || a.ulValueLen > v.size()) return std::nullopt;
  v.resize(a.ulValueLen);
  return v;
}

std::optional<CK_ULONG> ulong_attr(CK_FUNCTION_LIST *f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o,
                                   CK_ATTRIBUTE_TYPE type) {
  auto v = attr(f, s, o, type);
  if (!v || v->size() != sizeof(CK_ULONG)) return std::nullopt;
  CK_ULONG u;
  memcpy(&u, v->data(), sizeof u);
  return u;
}

int bool_attr(CK_FUNCTION_LIST *f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o,
              CK_ATTRIBUTE_TYPE type) {
  auto v = attr(f, s, o, type);
  if (!v || v->size() != 1) return -1;
  return (*v)[0] != 0 ? 1 : 0;
}

void put_mpint(Bytes &b, Bytes m) {
  size_t z = 0;
  while (z < m.size() && m[z] == 0) z++;
  m.erase(m.begin(), m.begin() + static_cast<long>(z));
  if (!m.empty() && (m[0] & 0x80) != 0) m.insert(m.begin(), 0);
  agent::put_string(b, m);
}

Bytes rsa_blob(const Bytes &n, const Bytes &e) {
  Bytes b;
  agent::put_string(b, std::string_view("ssh-rsa"));
  put_mpint(b, e);
  put_mpint(b, n);
  return b;
}

int rsa_bits(Bytes n) {
  size_t z = 0;
  while (z < n.size() && n[z] == 0) z++;
  if (z == n.size()) return 0;
  int bits = static_cast<int>((n.size() - z) * 8);
  for (unsigned char c = n[z]; (c & 0x80) == 0; c = static_cast<unsigned char>(c << 1)) bits--;
  return bits;
}

// The SSH curve name and size of a named curve; "" for curves SSH has no
// name for.
std::string ssh_curve(int nid, int &bits) {
  const agent::SshCurve *c = agent::ssh_curve_of_nid(nid);
  if (c == nullptr) return "";
  bits = c->bits;
  return std::string(c->ssh);
}

Bytes ec_blob(const std::string &curve, const Bytes &point) {
  Bytes b;
  agent::put_string(b, "ecdsa-sha2-" + curve);
  agent::put_string(b, curve);
  agent::put_string(b, point);
  return b;
}

// Fills kind, blob and problem of an EC key from CKA_EC_PARAMS and, when
// given, its point.
void describe_ec(ObjectView &v, const std::optional<Bytes> &params,
                 const std::optional<Bytes> &point) {
  if (!params) {
    v.kind = "ECDSA";
    v.problem = "no CKA_EC_PARAMS";
    return;
  }
  const unsigned char *p = params->data();
  vardek::unique_ptr<ASN1_OBJECT> oid(
      d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(params->size())));
  if (!oid) {
    v.kind = "ECDSA";
    v.problem = "CKA_EC_PARAMS is not a named curve";
    return;
  }
  int nid = OBJ_obj2nid(oid.get());
  int bits = 0;
  std::string curve = ssh_curve(nid, bits);
  if (curve.empty()) {
    char txt[80];
    const char *name = nid != NID_undef ? OBJ_nid2sn(nid) : nullptr;
    if (name == nullptr) {
      (void)OBJ_obj2txt(txt, sizeof txt, oid.get(), 1);
      name = txt;
    }
    v.kind = std::string("EC ") + name;
    v.problem = std::string("unsupported curve ") + name +
                " (vardek offers ECDSA keys on nistp256, nistp384 and nistp521 only)";
    return;
  }
  v.kind = "ECDSA " + std::to_string(bits);
  if (!point) return;
  // CKA_EC_POINT is a DER OCTET STRING around the point; some tokens give
  // the bare point.
  Bytes raw = *point;
  const unsigned char *q = point->data();
  vardek::unique_ptr<ASN1_OCTET_STRING> os(
      d2i_ASN1_OCTET_STRING(nullptr, &q, static_cast<long>(point->size())));
  if (os && q == point->data() + point->size()) raw.assign(os->data, os->data + os->length);
  v.blob = ec_blob(curve, raw);
}

void describe_pkey(ObjectView &v, EVP_PKEY *pk) {
  if (EVP_PKEY_is_a(pk, "RSA")) {
    BIGNUM *n = nullptr, *e = nullptr;
    if (EVP_PKEY_get_bn_param(pk, OSSL_PKEY_PARAM_RSA_N, &n) == 1 &&
        EVP_PKEY_get_bn_param(pk, OSSL_PKEY_PARAM_RSA_E, &e) == 1) {
      Bytes nb(static_cast<size_t>(BN_num_bytes(n))), eb(static_cast<size_t>(BN_num_bytes(e)));
      BN_bn2bin(n, nb.data());
      BN_bn2bin(e, eb.data());
      v.kind = "RSA " + std::to_string(rsa_bits(nb));
      v.blob = rsa_blob(nb, eb);
    }
    BN_free(n);
    BN_free(e);
    return;
  }
  if (EVP_PKEY_is_a(pk, "EC")) {
    char group[80] = "";
    size_t glen = 0;
    (void)EVP_PKEY_get_utf8_string_param(pk, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                         &glen);
    int bits = 0;
    std::string curve = ssh_curve(OBJ_sn2nid(group), bits);
    if (curve.empty()) curve = ssh_curve(EC_curve_nist2nid(group), bits);
    if (curve.empty()) {
      v.kind = std::string("EC ") + group;
      v.problem = std::string("unsupported curve ") + group +
                  " (vardek offers ECDSA keys on nistp256, nistp384 and nistp521 only)";
      return;
    }
    Bytes point(256);
    size_t plen = 0;
    if (EVP_PKEY_get_octet_string_param(pk, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(),
                                        &plen) == 1) {
      point.resize(plen);
      v.blob = ec_blob(curve, point);
    }
    v.kind = "ECDSA " + std::to_string(bits);
    return;
  }
  v.kind = EVP_PKEY_get0_type_name(pk) != nullptr ? EVP_PKEY_get0_type_name(pk) : "unknown";
  v.problem = "unsupported key type " + v.kind + " (vardek offers RSA and ECDSA keys)";
}

ObjectView read_object(CK_FUNCTION_LIST *f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o,
                       CK_OBJECT_CLASS cls) {
  ObjectView v;
  v.cls = cls;
  if (auto l = attr(f, s, o, CKA_LABEL)) v.label.assign(l->begin(), l->end());
  if (auto id = attr(f, s, o, CKA_ID)) v.id = *id;
  if (cls == CKO_CERTIFICATE) {
    auto der = attr(f, s, o, CKA_VALUE);
    if (!der) {
      v.kind = "certificate";
      v.problem = "no CKA_VALUE";
      return v;
    }
    const unsigned char *p = der->data();
    vardek::unique_ptr<X509> x(d2i_X509(nullptr, &p, static_cast<long>(der->size())));
    EVP_PKEY *pk = x ? X509_get0_pubkey(x.get()) : nullptr;
    if (pk == nullptr) {
      v.kind = "certificate";
      v.problem = "the certificate cannot be read";
      return v;
    }
    describe_pkey(v, pk);
    return v;
  }
  auto type = ulong_attr(f, s, o, CKA_KEY_TYPE);
  if (cls == CKO_PRIVATE_KEY) {
    v.sign = bool_attr(f, s, o, CKA_SIGN);
    v.always_auth = bool_attr(f, s, o, CKA_ALWAYS_AUTHENTICATE);
  }
  if (!type) {
    v.kind = "key";
    return v;
  }
  if (*type == CKK_RSA) {
    auto n = attr(f, s, o, CKA_MODULUS);
    auto e = attr(f, s, o, CKA_PUBLIC_EXPONENT);
    v.kind = n ? "RSA " + std::to_string(rsa_bits(*n)) : "RSA";
    if (n && e && cls == CKO_PUBLIC_KEY) v.blob = rsa_blob(*n, *e);
  } else if (*type == CKK_EC) {
    describe_ec(v, attr(f, s, o, CKA_EC_PARAMS),
                cls == CKO_PUBLIC_KEY ? attr(f, s, o, CKA_EC_POINT) : std::nullopt);
  } else {
    v.kind = *type == CKK_DSA          ? "DSA"
             : *type == CKK_EC_EDWARDS ? "EdDSA"
                                       : "key type " + std::to_string(*type);
    v.problem = "unsupported key type " + v.kind + " (vardek offers RSA and ECDSA keys)";
  }
  if (cls == CKO_PRIVATE_KEY && v.problem.empty()) {
    if (v.sign == 0)
      v.problem = "CKA_SIGN is false: the token does not let this key sign";
    else if (v.always_auth == 1)
      v.problem =
          "CKA_ALWAYS_AUTHENTICATE is true: the key wants a PIN for every signature, which "
          "vardek never gives";
  }
  return v;
}

void read_objects(CK_FUNCTION_LIST *f, TokenView &t) {
  CK_SESSION_HANDLE s = 0;
  CK_RV rv = f->C_OpenSession(t.slot_id, CKF_SERIAL_SESSION, nullptr, nullptr, &s);
  if (rv != CKR_OK) {
    t.objects_why = "C_OpenSession failed: " + rv_name(rv);
    return;
  }
  for (CK_OBJECT_CLASS cls : {CKO_PUBLIC_KEY, CKO_CERTIFICATE, CKO_PRIVATE_KEY}) {
    CK_ATTRIBUTE tmpl = {CKA_CLASS, &cls, sizeof cls};
    if (f->C_FindObjectsInit(s, &tmpl, 1) != CKR_OK) continue;
    std::vector<CK_OBJECT_HANDLE> found(max_objects);
    CK_ULONG n = 0;
    if (f->C_FindObjects(s, found.data(), max_objects, &n) != CKR_OK || n > max_objects) n = 0;
    (void)f->C_FindObjectsFinal(s);
    for (CK_ULONG i = 0; i < n; i++) t.objects.push_back(read_object(f, s, found[i], cls));
  }
  (void)f->C_CloseSession(s);
  t.objects_read = true;
}

bool is_elf(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;  // let the loader say why
  unsigned char m[4] = {};
  ssize_t n = read(fd, m, sizeof m);
  close(fd);
  return n == 4 && memcmp(m,
                          "\x7f"
                          "ELF",
                          4) == 0;
}

}  // namespace

size_t TokenView::count(CK_OBJECT_CLASS cls) const {
  size_t n = 0;
  for (const auto &o : objects)
    if (o.cls == cls) n++;
  return n;
}

std::string module_path_problem(const std::string &path) {
  if (path.empty()) return "the module path is empty";
  bool bare = path.find('/') == std::string::npos;
  struct stat st;
  if (!bare && stat(path.c_str(), &st) != 0) {
    std::string s = errno == ENOENT ? "no such file" : std::string(strerror(errno));
    if (path[0] != '/') {
      char cwd[4096];
      s += " (a relative path, taken from the current directory " +
           std::string(getcwd(cwd, sizeof cwd) != nullptr ? cwd : "?") +
           "; give the module's absolute path)";
    }
    return s;
  }
  if (!bare && S_ISDIR(st.st_mode)) return "a directory, not a module file";
  if (!bare && !is_elf(path)) return "not a shared library (the file is not an ELF object)";
  void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr) {
    const char *e = dlerror();
    std::string s = e != nullptr ? e : "the dynamic loader cannot load it";
    if (bare)
      s = "a bare name: the dynamic loader looks for it only in the system library path and "
          "finds nothing (" +
          s + "); give the module's absolute path";
    else
      s = "not a shared library the loader accepts: " + s;
    return s;
  }
  bool has = dlsym(h, "C_GetFunctionList") != nullptr;
  dlclose(h);
  if (!has) return "no C_GetFunctionList: a shared library, but not a PKCS#11 module";
  return "";
}

std::optional<ModuleView> view_module(const std::string &path, bool objects, std::string &why) {
  if (path.empty()) {
    why = "the module path is empty";
    return std::nullopt;
  }
  void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr) {
    why = module_path_problem(path);
    if (why.empty()) why = "the module cannot be loaded";
    return std::nullopt;
  }
  auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(h, "C_GetFunctionList"));
  CK_FUNCTION_LIST *f = nullptr;
  CK_RV rv = CKR_OK;
  if (get == nullptr) {
    why = "no C_GetFunctionList: a shared library, but not a PKCS#11 module";
  } else if ((rv = get(&f)) != CKR_OK || f == nullptr) {
    why = "C_GetFunctionList failed: " + rv_name(rv == CKR_OK ? CKR_GENERAL_ERROR : rv);
    f = nullptr;
  } else if ((rv = f->C_Initialize(nullptr)) != CKR_OK) {
    why = "C_Initialize failed: " + rv_name(rv);
    f = nullptr;
  }
  if (f == nullptr) {
    dlclose(h);
    return std::nullopt;
  }
  ModuleView mv;
  mv.path = path;
  CK_INFO info;
  if (f->C_GetInfo(&info) == CKR_OK) {
    mv.manufacturer = trimmed(info.manufacturerID, sizeof info.manufacturerID);
    mv.description = trimmed(info.libraryDescription, sizeof info.libraryDescription);
  }
  CK_ULONG n = 0;
  std::vector<CK_SLOT_ID> ids;
  rv = f->C_GetSlotList(CK_FALSE, nullptr, &n);
  if (rv == CKR_OK && n > 0 && n <= 1024) {
    ids.resize(n);
    rv = f->C_GetSlotList(CK_FALSE, ids.data(), &n);
    ids.resize(rv == CKR_OK && n <= ids.size() ? n : 0);
  }
  if (rv != CKR_OK) why = "C_GetSlotList failed: " + rv_name(rv);
  for (CK_SLOT_ID id : ids) {
    TokenView t;
    t.slot_id = id;
    CK_SLOT_INFO si;
    if (f->C_GetSlotInfo(id, &si) == CKR_OK) {
      t.slot_description = trimmed(si.slotDescription, sizeof si.slotDescription);
      t.present = (si.flags & CKF_TOKEN_PRESENT) != 0;
    }
    CK_TOKEN_INFO ti;
    if (t.present && f->C_GetTokenInfo(id, &ti) == CKR_OK) {
      t.label = trimmed(ti.label, sizeof ti.label);
      t.manufacturer = trimmed(ti.manufacturerID, sizeof ti.manufacturerID);
      t.model = trimmed(ti.model, sizeof ti.model);
      t.serial = trimmed(ti.serialNumber, sizeof ti.serialNumber);
      t.flags = ti.flags;
      if (objects && t.initialised()) read_objects(f, t);
    } else {
      t.present = false;
    }
    mv.slots.push_back(std::move(t));
  }
  (void)f->C_Finalize(nullptr);
  dlclose(h);
  return mv;
}

std::string module_service_hint(const std::string &path) {
  std::string base = path.substr(path.rfind('/') + 1);
  if (base.find("opensc") != std::string::npos) {
    struct stat st;
    if (stat("/run/pcscd/pcscd.comm", &st) != 0)
      return "OpenSC reaches card readers through pcscd, and pcscd is not running (no "
             "/run/pcscd/pcscd.comm): start it (systemctl start pcscd.socket) and check the "
             "reader with pcsc_scan";
    return "OpenSC sees no card: check that the card is in the reader (pcsc_scan shows it)";
  }
  if (base.find("softhsm") != std::string::npos) {
    const char *c = getenv("SOFTHSM2_CONF");
    return std::string("SoftHSM2 reads its configuration from SOFTHSM2_CONF (") +
           (c != nullptr ? std::string("now ") + c : "unset: the system's file") +
           "): check that the file exists and that its directories.tokendir is readable";
  }
  if (base.find("p11-kit-client") != std::string::npos) {
    const char *a = getenv("P11_KIT_SERVER_ADDRESS");
    if (a == nullptr || *a == '\0')
      return "p11-kit-client.so needs P11_KIT_SERVER_ADDRESS set to the address `p11-kit "
             "server` printed";
    return std::string("no p11-kit server answers at P11_KIT_SERVER_ADDRESS=") + a +
           ": start `p11-kit server` there, or forward its socket";
  }
  return "";
}

std::string hex(const Bytes &b) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (uint8_t c : b) {
    s += digits[c >> 4];
    s += digits[c & 0xf];
  }
  return s;
}

std::string percent_all(const Bytes &b) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (uint8_t c : b) {
    s += '%';
    s += digits[c >> 4];
    s += digits[c & 0xf];
  }
  return s;
}

std::string percent_text(const std::string &s) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (isalnum(c) != 0 || strchr("_-.()", c) != nullptr) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 0xf];
    }
  }
  return out;
}

}  // namespace vardek::client
