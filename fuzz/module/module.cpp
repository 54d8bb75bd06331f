// fuzz-p11.so: a PKCS#11 module whose token answers what the fuzz input
// says. The control interface and the input layout are in fuzz_p11.h. Key
// material and real signatures come from the mock module's key code.
//
// Only the entry points vardek calls are provided; the other members of the
// function list stay null.
#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "fuzz_p11.h"
#include "mock_internal.h"

namespace {

using vardek::mock::Bytes;

// Attribute types the hostile objects choose from (the type byte indexes it).
constexpr CK_ATTRIBUTE_TYPE kAttrTypes[] = {
    CKA_CLASS,
    CKA_KEY_TYPE,
    CKA_LABEL,
    CKA_ID,
    CKA_MODULUS,
    CKA_PUBLIC_EXPONENT,
    CKA_EC_PARAMS,
    CKA_EC_POINT,
    CKA_CERTIFICATE_TYPE,
    CKA_SUBJECT,
    CKA_VALUE,
    CKA_SIGN,
    CKA_ALWAYS_AUTHENTICATE,
};
constexpr size_t kNumAttrTypes = sizeof(kAttrTypes) / sizeof(kAttrTypes[0]);

constexpr CK_OBJECT_CLASS kClasses[] = {CKO_PUBLIC_KEY, CKO_CERTIFICATE, CKO_PRIVATE_KEY, CKO_DATA};

// How C_GetAttributeValue answers for one attribute (mode byte bits 0-2;
// `arg` is bits 3-7). A size query is an entry with a null pValue.
enum AnswerMode : uint8_t {
  kConforming,      // as PKCS#11 says (too small a buffer: CKR_BUFFER_TOO_SMALL,
                    // CK_UNAVAILABLE_INFORMATION)
  kOkUnavailable,   // CKR_OK with CK_UNAVAILABLE_INFORMATION, nothing copied
  kOkLonger,        // size query true; with a buffer: copies what fits, CKR_OK,
                    // length + 1 + arg
  kSizeShort,       // size query says length - 1 - arg; with a buffer:
                    // conforming, or (arg bit 4) copies what fits and answers
                    // CKR_OK with the true length
  kTooSmallAnyway,  // with a buffer: CKR_BUFFER_TOO_SMALL, true length
  kHugeSize,        // size query answers a huge length (arg % 4 picks it)
  kMissing,         // CKR_ATTRIBUTE_TYPE_INVALID
  kSensitive,       // CKR_ATTRIBUTE_SENSITIVE
};

struct Attr {
  CK_ATTRIBUTE_TYPE type;
  uint8_t mode;
  uint8_t arg;
  Bytes value;
};

struct Obj {
  CK_OBJECT_CLASS cls = CKO_DATA;
  std::vector<Attr> attrs;
  int key = -1;  // real key index of a private key object
};

struct Key {
  vardek::mock::Object material;  // public attributes, and the EVP_PKEY
  CK_MECHANISM_TYPE mech;
};

using vardek::fuzz::Reader;

struct Module {
  bool material_loaded = false;
  bool material_ok = false;
  std::vector<Key> keys;  // RSA-2048, P-256, P-384, P-521
  std::vector<Bytes> stock;

  // The current personality's token.
  std::vector<Obj> objects;
  uint8_t token_bits = 0;
  vardek_fuzz_p11_sign_answer answer{};
  Bytes answer_bytes;

  // Cryptoki state.
  bool initialized = false;
  CK_SESSION_HANDLE next_session = 0;
  std::set<CK_SESSION_HANDLE> sessions;
  bool logged_in = false;
  bool find_active = false;
  std::vector<CK_OBJECT_HANDLE> found;
  size_t found_pos = 0;
  bool sign_active = false;
  bool answer_used = false;  // the answer went to one C_Sign already
  int sign_key = -1;
  bool context_login = false;

  vardek_fuzz_p11_signed last{};
  Bytes last_buffer;
};

Module mod;

Bytes ulong_value(CK_ULONG v) { return vardek::mock::ulong_bytes(v); }

void add_stock(const vardek::mock::Object &o, CK_ATTRIBUTE_TYPE t) {
  auto it = o.attrs.find(t);
  if (it != o.attrs.end()) mod.stock.push_back(it->second);
}

// Key files and certificates of the mock module's test data.
bool load_material() {
  if (mod.material_loaded) return mod.material_ok;
  mod.material_loaded = true;
  const std::string dir = VARDEK_FUZZ_KEY_DIR;
  std::string err;
  static const char *const key_files[] = {"rsa2048.pem", "ec256.pem", "ec384.pem", "ec521.pem"};
  for (const char *f : key_files) {
    Key k;
    if (!vardek::mock::key_attributes(dir + "/" + f, true, k.material, err)) return false;
    k.mech = EVP_PKEY_get_base_id(k.material.key.get()) == EVP_PKEY_RSA ? CKM_RSA_PKCS : CKM_ECDSA;
    mod.keys.push_back(std::move(k));
  }
  vardek::mock::Object k1, rsa_cert, ec_cert;
  if (!vardek::mock::key_attributes(dir + "/secp256k1.pem", false, k1, err) ||
      !vardek::mock::cert_attributes(dir + "/rsa2048.der", rsa_cert, err) ||
      !vardek::mock::cert_attributes(dir + "/ec256.crt", ec_cert, err))
    return false;

  for (CK_ULONG v : {CKK_RSA, CKK_EC, CKK_DSA, CKC_X_509, CKO_PUBLIC_KEY, CKO_CERTIFICATE})
    mod.stock.push_back(ulong_value(v));
  add_stock(mod.keys[0].material, CKA_MODULUS);
  add_stock(mod.keys[0].material, CKA_PUBLIC_EXPONENT);
  for (size_t i = 1; i < mod.keys.size(); i++) {
    add_stock(mod.keys[i].material, CKA_EC_PARAMS);
    add_stock(mod.keys[i].material, CKA_EC_POINT);
  }
  add_stock(k1, CKA_EC_PARAMS);
  add_stock(k1, CKA_EC_POINT);
  for (const auto *c : {&rsa_cert, &ec_cert}) {
    add_stock(*c, CKA_VALUE);
    add_stock(*c, CKA_SUBJECT);
  }
  mod.material_ok = true;
  return true;
}

Bytes read_value(Reader &in) {
  const uint8_t sel = in.u8();
  const uint8_t source = sel & 0x3f;
  Bytes v;
  if (source == 0) {
    v = in.bytes(in.u16());
  } else if (source == 1) {
    v = ulong_value(in.u8());
  } else if (!mod.stock.empty()) {
    v = mod.stock[(source - 2u) % mod.stock.size()];
  }
  if ((sel & 0x40) != 0) {
    const size_t pos = in.u16();
    const uint8_t mask = in.u8();
    if (!v.empty()) v[pos % v.size()] ^= mask;
  }
  if ((sel & 0x80) != 0) {
    const size_t cut = in.u16();
    if (cut < v.size()) v.resize(cut);
  }
  return v;
}

const Attr *find_attr(const Obj &o, CK_ATTRIBUTE_TYPE type) {
  for (const auto &a : o.attrs)
    if (a.type == type) return &a;
  return nullptr;
}

void reset_session_state() {
  mod.sessions.clear();
  mod.logged_in = false;
  mod.find_active = false;
  mod.found.clear();
  mod.sign_active = false;
  mod.sign_key = -1;
  mod.context_login = false;
}

bool session_ok(CK_SESSION_HANDLE h) { return mod.initialized && mod.sessions.count(h) != 0; }

// ---- Cryptoki entry points ----

CK_RV fz_Initialize(CK_VOID_PTR) {
  if (mod.initialized) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
  mod.initialized = true;
  reset_session_state();
  return CKR_OK;
}

CK_RV fz_Finalize(CK_VOID_PTR reserved) {
  if (reserved != nullptr) return CKR_ARGUMENTS_BAD;
  if (!mod.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  mod.initialized = false;
  reset_session_state();
  return CKR_OK;
}

void pad_text(CK_UTF8CHAR *field, size_t n, const char *text) {
  std::memset(field, ' ', n);
  std::memcpy(field, text, std::min(n, std::strlen(text)));
}

CK_RV fz_GetInfo(CK_INFO_PTR info) {
  if (!mod.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (info == nullptr) return CKR_ARGUMENTS_BAD;
  *info = CK_INFO{};
  info->cryptokiVersion = {2, 40};
  pad_text(info->manufacturerID, sizeof(info->manufacturerID), "vardek fuzz");
  pad_text(info->libraryDescription, sizeof(info->libraryDescription), "vardek fuzz module");
  info->libraryVersion = {1, 0};
  return CKR_OK;
}

CK_RV fz_GetSlotList(CK_BBOOL, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
  if (!mod.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (count == nullptr) return CKR_ARGUMENTS_BAD;
  if (list != nullptr) {
    if (*count < 1) {
      *count = 1;
      return CKR_BUFFER_TOO_SMALL;
    }
    list[0] = 1;
  }
  *count = 1;
  return CKR_OK;
}

CK_RV fz_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
  if (!mod.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (slot != 1) return CKR_SLOT_ID_INVALID;
  if (info == nullptr) return CKR_ARGUMENTS_BAD;
  *info = CK_TOKEN_INFO{};
  pad_text(info->label, sizeof(info->label), "fuzz");
  pad_text(info->manufacturerID, sizeof(info->manufacturerID), "vardek");
  pad_text(info->model, sizeof(info->model), "fuzz");
  pad_text(info->serialNumber, sizeof(info->serialNumber), "1");
  info->flags = CKF_TOKEN_INITIALIZED | ((mod.token_bits & 1) != 0 ? CKF_LOGIN_REQUIRED : 0);
  return CKR_OK;
}

CK_RV fz_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY,
                     CK_SESSION_HANDLE_PTR session) {
  if (!mod.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (slot != 1) return CKR_SLOT_ID_INVALID;
  if ((flags & CKF_SERIAL_SESSION) == 0) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
  if (session == nullptr) return CKR_ARGUMENTS_BAD;
  *session = ++mod.next_session;
  mod.sessions.insert(*session);
  return CKR_OK;
}

CK_RV fz_CloseSession(CK_SESSION_HANDLE h) {
  if (!session_ok(h)) return CKR_SESSION_HANDLE_INVALID;
  mod.sessions.erase(h);
  if (mod.sessions.empty()) {
    reset_session_state();
  }
  return CKR_OK;
}

CK_RV fz_Login(CK_SESSION_HANDLE h, CK_USER_TYPE user, CK_UTF8CHAR_PTR, CK_ULONG) {
  if (!session_ok(h)) return CKR_SESSION_HANDLE_INVALID;
  if ((mod.token_bits & 2) != 0) return CKR_PIN_INCORRECT;
  if (user == CKU_CONTEXT_SPECIFIC) {
    if (!mod.sign_active) return CKR_OPERATION_NOT_INITIALIZED;
    mod.context_login = true;
    return CKR_OK;
  }
  if (mod.logged_in) return CKR_USER_ALREADY_LOGGED_IN;
  mod.logged_in = true;
  return CKR_OK;
}

bool matches(const Obj &o, const CK_ATTRIBUTE &t) {
  Bytes have;
  if (t.type == CKA_CLASS) {
    have = ulong_value(o.cls);
  } else if (const Attr *a = find_attr(o, t.type)) {
    have = a->value;
  } else {
    return false;
  }
  if (have.size() != t.ulValueLen) return false;
  return t.ulValueLen == 0 ||
         (t.pValue != nullptr && std::memcmp(have.data(), t.pValue, t.ulValueLen) == 0);
}

CK_RV fz_FindObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR templ, CK_ULONG n) {
  if (!session_ok(h)) return CKR_SESSION_HANDLE_INVALID;
  if (mod.find_active) return CKR_OPERATION_ACTIVE;
  if (templ == nullptr && n != 0) return CKR_ARGUMENTS_BAD;
  if ((mod.token_bits & 4) != 0) return CKR_DEVICE_ERROR;
  mod.found.clear();
  mod.found_pos = 0;
  for (size_t i = 0; i < mod.objects.size(); i++) {
    bool all = true;
    for (CK_ULONG k = 0; k < n && all; k++) all = matches(mod.objects[i], templ[k]);
    if (all) mod.found.push_back(i + 1);
  }
  mod.find_active = true;
  return CKR_OK;
}

CK_RV fz_FindObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE_PTR out, CK_ULONG max,
                     CK_ULONG_PTR count) {
  if (!session_ok(h)) return CKR_SESSION_HANDLE_INVALID;
  if (!mod.find_active) return CKR_OPERATION_NOT_INITIALIZED;
  if (out == nullptr || count == nullptr) return CKR_ARGUMENTS_BAD;
  CK_ULONG n = 0;
  while (n < max && mod.found_pos < mod.found.size()) out[n++] = mod.found[mod.found_pos++];
  // A module that claims more handles than it wrote.
  *count = n != 0 && (mod.token_bits & 8) != 0 ? n + 1 : n;
  return CKR_OK;
}

CK_RV fz_FindObjectsFinal(CK_SESSION_HANDLE h) {
  if (!session_ok(h)) return CKR_SESSION_HANDLE_INVALID;
  if (!mod.find_active) return CKR_OPERATION_NOT_INITIALIZED;
  mod.find_active = false;
  return CKR_OK;
}

constexpr CK_ULONG kHuge[] = {CK_UNAVAILABLE_INFORMATION, 1024 * 1024 + 1, 0xffffffffUL,
                              CK_UNAVAILABLE_INFORMATION - 1};

// Answers one template entry; returns its CK_RV.
CK_RV answer_attr(const Obj &o, CK_ATTRIBUTE &t) {
  Attr implicit_class{CKA_CLASS, kConforming, 0, ulong_value(o.cls)};
  const Attr *a = find_attr(o, t.type);
  if (a == nullptr && t.type == CKA_CLASS) a = &implicit_class;
  if (a == nullptr || a->mode == kMissing) {
    t.ulValueLen = CK_UNAVAILABLE_INFORMATION;
    return CKR_ATTRIBUTE_TYPE_INVALID;
  }
  if (a->mode == kSensitive) {
    t.ulValueLen = CK_UNAVAILABLE_INFORMATION;
    return CKR_ATTRIBUTE_SENSITIVE;
  }
  const CK_ULONG len = a->value.size();
  if (t.pValue == nullptr) {
    switch (a->mode) {
      case kOkUnavailable:
        t.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        break;
      case kSizeShort:
        t.ulValueLen = len > a->arg ? len - 1 - a->arg : 0;
        break;
      case kHugeSize:
        t.ulValueLen = kHuge[a->arg % 4];
        break;
      default:
        t.ulValueLen = len;
        break;
    }
    return CKR_OK;
  }
  const CK_ULONG room = t.ulValueLen;
  const auto copy_fitting = [&] {
    if (const CK_ULONG n = std::min(room, len); n != 0) std::memcpy(t.pValue, a->value.data(), n);
  };
  switch (a->mode) {
    case kOkUnavailable:
      t.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      return CKR_OK;
    case kOkLonger:
      copy_fitting();
      t.ulValueLen = len + 1 + a->arg;
      return CKR_OK;
    case kSizeShort:
      if ((a->arg & 16) != 0) {
        copy_fitting();
        t.ulValueLen = len;
        return CKR_OK;
      }
      break;
    case kTooSmallAnyway:
      t.ulValueLen = len;
      return CKR_BUFFER_TOO_SMALL;
    default:
      break;
  }
  if (room < len) {
    t.ulValueLen = CK_UNAVAILABLE_INFORMATION;
    return CKR_BUFFER_TOO_SMALL;
  }
  if (len != 0) std::memcpy(t.pValue, a->value.data(), len);
  t.ulValueLen = len;
  return CKR_OK;
}

CK_RV fz_GetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_PTR templ,
                           CK_ULONG n) {
  if (!session_ok(h)) return CKR_SESSION_HANDLE_INVALID;
  if (obj == 0 || obj > mod.objects.size()) return CKR_OBJECT_HANDLE_INVALID;
  if (templ == nullptr && n != 0) return CKR_ARGUMENTS_BAD;
  const Obj &o = mod.objects[obj - 1];
  CK_RV rv = CKR_OK;
  for (CK_ULONG i = 0; i < n; i++) {
    CK_RV r = answer_attr(o, templ[i]);
    if (rv == CKR_OK) rv = r;
  }
  return rv;
}

CK_RV fz_SignInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE obj) {
  if (!session_ok(h)) return CKR_SESSION_HANDLE_INVALID;
  if (mod.sign_active) return CKR_OPERATION_ACTIVE;
  if (mech == nullptr) return CKR_ARGUMENTS_BAD;
  if (obj == 0 || obj > mod.objects.size()) return CKR_KEY_HANDLE_INVALID;
  const Obj &o = mod.objects[obj - 1];
  if (o.key < 0) return CKR_KEY_TYPE_INCONSISTENT;
  if (mech->mechanism != mod.keys[static_cast<size_t>(o.key)].mech) return CKR_MECHANISM_INVALID;
  if (mod.answer.fail_sign_init) return CKR_KEY_FUNCTION_NOT_PERMITTED;
  mod.sign_active = true;
  mod.sign_key = o.key;
  mod.context_login = false;
  return CKR_OK;
}

// The real signature with each ECDSA half left-padded with zeros or cut
// (from the front) to `width` bytes.
Bytes repad(const Bytes &real, size_t width) {
  const size_t half = real.size() / 2;
  Bytes out;
  for (size_t h = 0; h < 2; h++) {
    const uint8_t *p = real.data() + h * half;
    if (width >= half) {
      out.insert(out.end(), width - half, 0);
      out.insert(out.end(), p, p + half);
    } else {
      out.insert(out.end(), p + (half - width), p + half);
    }
  }
  return out;
}

CK_RV fz_Sign(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG len, CK_BYTE_PTR sig,
              CK_ULONG_PTR siglen) {
  if (!session_ok(h)) return CKR_SESSION_HANDLE_INVALID;
  if (!mod.sign_active) return CKR_OPERATION_NOT_INITIALIZED;
  if (siglen == nullptr || (data == nullptr && len != 0)) return CKR_ARGUMENTS_BAD;
  const Key &key = mod.keys[static_cast<size_t>(mod.sign_key)];
  const size_t real_len = vardek::mock::signature_length(key.material.key.get(), key.mech);
  if (sig == nullptr) {
    *siglen = real_len;
    return CKR_OK;
  }
  if (mod.answer_used) {
    // A further C_Sign in the same request is vardek ending an operation
    // the answer left active: it ends, as on a conforming token, and is not
    // what the request is judged by.
    mod.sign_active = false;
    *siglen = 0;
    return CKR_OK;
  }
  mod.answer_used = true;
  mod.last = {};
  mod.last_buffer.clear();
  mod.last.called = 1;
  mod.last.key = mod.sign_key;
  mod.last.offered = *siglen;
  mod.sign_active = false;
  if (mod.answer.always_auth && !mod.context_login) {
    mod.last.rv = CKR_USER_NOT_LOGGED_IN;
    return CKR_USER_NOT_LOGGED_IN;
  }

  Bytes real;
  CK_RV real_rv = vardek::mock::sign_data(key.material.key.get(), key.mech, data, len, real);
  const vardek_fuzz_p11_sign_answer &a = mod.answer;
  if (real_rv != CKR_OK && a.content != 1) {
    mod.last.rv = real_rv;
    return real_rv;
  }
  Bytes content;
  if (a.content == 1) {
    content = mod.answer_bytes;
  } else {
    content = a.content == 2 && key.mech == CKM_ECDSA ? repad(real, a.width) : real;
    for (size_t i = 0; i < mod.answer_bytes.size() && i < content.size(); i++)
      content[i] ^= mod.answer_bytes[i];
  }
  const CK_ULONG reported = a.length == 0 ? content.size() : a.reported;
  mod.last.rv = a.rv;
  mod.last.reported = reported;
  if (a.rv == CKR_BUFFER_TOO_SMALL) {
    // Keeps the operation, as a token does when the buffer is too small.
    mod.sign_active = true;
    *siglen = reported;
    return a.rv;
  }
  const CK_ULONG offered = *siglen;
  const CK_ULONG written =
      std::min<CK_ULONG>(std::max<CK_ULONG>(content.size(), reported), offered);
  for (CK_ULONG i = 0; i < written; i++) sig[i] = i < content.size() ? content[i] : 0;
  *siglen = reported;
  const CK_ULONG kept = std::min(reported, offered);
  mod.last_buffer.assign(sig, sig + kept);
  mod.last.genuine = real_rv == CKR_OK && a.rv == CKR_OK && content == real &&
                     reported == real.size() && real.size() <= offered;
  return a.rv;
}

CK_FUNCTION_LIST make_function_list() {
  CK_FUNCTION_LIST f{};
  f.version = {2, 40};
  f.C_Initialize = fz_Initialize;
  f.C_Finalize = fz_Finalize;
  f.C_GetInfo = fz_GetInfo;
  f.C_GetSlotList = fz_GetSlotList;
  f.C_GetTokenInfo = fz_GetTokenInfo;
  f.C_OpenSession = fz_OpenSession;
  f.C_CloseSession = fz_CloseSession;
  f.C_Login = fz_Login;
  f.C_GetAttributeValue = fz_GetAttributeValue;
  f.C_FindObjectsInit = fz_FindObjectsInit;
  f.C_FindObjects = fz_FindObjects;
  f.C_FindObjectsFinal = fz_FindObjectsFinal;
  f.C_SignInit = fz_SignInit;
  f.C_Sign = fz_Sign;
  return f;
}

CK_FUNCTION_LIST function_list = make_function_list();

Attr conforming(CK_ATTRIBUTE_TYPE type, Bytes value) {
  return Attr{type, kConforming, 0, std::move(value)};
}

// Sets the CKA_SIGN and CKA_ALWAYS_AUTHENTICATE of the real private keys.
void set_private_flags() {
  for (auto &o : mod.objects) {
    if (o.key < 0) continue;
    o.attrs.erase(std::remove_if(o.attrs.begin(), o.attrs.end(),
                                 [](const Attr &a) {
                                   return a.type == CKA_SIGN || a.type == CKA_ALWAYS_AUTHENTICATE;
                                 }),
                  o.attrs.end());
    if (!mod.answer.no_sign_attr) o.attrs.push_back(conforming(CKA_SIGN, {CK_TRUE}));
    o.attrs.push_back(
        conforming(CKA_ALWAYS_AUTHENTICATE,
                   {static_cast<uint8_t>(mod.answer.always_auth ? CK_TRUE : CK_FALSE)}));
  }
}

}  // namespace

#define FUZZ_P11_EXPORT extern "C" __attribute__((visibility("default")))

FUZZ_P11_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  if (list == nullptr) return CKR_ARGUMENTS_BAD;
  *list = &function_list;
  return CKR_OK;
}

FUZZ_P11_EXPORT void vardek_fuzz_p11_set_objects(const uint8_t *data, size_t size) {
  load_material();
  Reader in{data, size};
  mod.objects.clear();
  mod.token_bits = in.u8();
  const size_t nobjects = in.u8() % 9;
  for (size_t i = 0; i < nobjects; i++) {
    Obj o;
    o.cls = kClasses[in.u8() % 4];
    const size_t nattrs = in.u8() % 12;
    for (size_t k = 0; k < nattrs; k++) {
      Attr a;
      a.type = kAttrTypes[in.u8() % kNumAttrTypes];
      const uint8_t mode = in.u8();
      a.mode = mode & 7;
      a.arg = mode >> 3;
      a.value = read_value(in);
      o.attrs.push_back(std::move(a));
    }
    mod.objects.push_back(std::move(o));
  }
}

FUZZ_P11_EXPORT int vardek_fuzz_p11_set_keys(void) {
  if (!load_material()) return -1;
  mod.token_bits = 0;
  mod.objects.clear();
  for (size_t k = 0; k < mod.keys.size(); k++) {
    for (CK_OBJECT_CLASS cls : {CKO_PUBLIC_KEY, CKO_PRIVATE_KEY}) {
      Obj o;
      o.cls = cls;
      o.attrs.push_back(conforming(CKA_ID, {static_cast<uint8_t>(k)}));
      const std::string label = "key " + std::to_string(k);
      o.attrs.push_back(conforming(CKA_LABEL, Bytes(label.begin(), label.end())));
      for (const auto &[type, value] : mod.keys[k].material.attrs)
        o.attrs.push_back(conforming(type, value));
      if (cls == CKO_PRIVATE_KEY) o.key = static_cast<int>(k);
      mod.objects.push_back(std::move(o));
    }
  }
  mod.answer = {};
  mod.answer_bytes.clear();
  set_private_flags();
  return 0;
}

FUZZ_P11_EXPORT void vardek_fuzz_p11_set_sign_answer(const vardek_fuzz_p11_sign_answer *answer) {
  mod.answer = *answer;
  mod.answer_bytes.assign(answer->bytes, answer->bytes + answer->nbytes);
  mod.answer.bytes = nullptr;
  mod.answer_used = false;
  mod.last = {};
  mod.last_buffer.clear();
  set_private_flags();
}

FUZZ_P11_EXPORT void vardek_fuzz_p11_get_signed(vardek_fuzz_p11_signed *out) {
  *out = mod.last;
  out->buffer = mod.last_buffer.data();
  out->nbuffer = mod.last_buffer.size();
}

FUZZ_P11_EXPORT void vardek_fuzz_p11_get_state(vardek_fuzz_p11_state *out) {
  out->initialized = mod.initialized;
  out->find_active = mod.find_active;
  out->sign_active = mod.sign_active;
}

FUZZ_P11_EXPORT size_t vardek_fuzz_p11_object_count(void) { return mod.objects.size(); }
