// The Cryptoki entry points of the mock module and its function list.
// One thread only, as vardek calls it (C_Initialize gets no locking
// callbacks); state lives from C_Initialize to C_Finalize.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "mock_internal.h"

using namespace vardek::mock;

namespace {

struct Session {
  size_t slot = 0;  // index into config.slots
  CK_FLAGS flags = 0;
  bool find_active = false;
  std::vector<CK_OBJECT_HANDLE> found;
  size_t found_pos = 0;
  bool sign_active = false;
  CK_MECHANISM_TYPE sign_mech = 0;
  const Object *sign_key = nullptr;
  bool context_login = false;
};

struct State {
  bool initialized = false;
  Config config;
  std::vector<bool> logged_in;  // per slot
  std::map<CK_SESSION_HANDLE, Session> sessions;
  CK_SESSION_HANDLE next_session = 1;
  std::map<std::string, unsigned long> counts;  // calls per function since C_Initialize
  unsigned long any_count = 0;
};

State state;
// Calls since the module was loaded, for the faults of the calls that come
// before any configuration is in force.
unsigned long initialize_calls = 0;
unsigned long getfunctionlist_calls = 0;

bool fault_fires(const Fault &f, unsigned long count, bool size_query) {
  switch (f.when) {
    case When::always:
      return true;
    case When::nth:
      return count == f.n;
    case When::from:
      return count >= f.n;
    case When::size:
      return size_query;
    case When::data:
      return !size_query;
  }
  return false;
}

// The return value a configured fault imposes on this call, or CKR_OK.
CK_RV find_fault(const std::vector<Fault> &faults, const char *fn, unsigned long count,
                 unsigned long any, bool size_query) {
  for (const Fault &f : faults) {
    if (f.function == "any") {
      if (any != 0 && fault_fires(f, any, false)) return f.rv;
    } else if (f.function == fn && fault_fires(f, count, size_query)) {
      return f.rv;
    }
  }
  return CKR_OK;
}

// Common start of every entry point after C_Initialize: the library must be
// initialised, then the call is counted and faults are applied.
CK_RV begin(const char *fn, bool size_query = false) {
  if (!state.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  unsigned long count = ++state.counts[fn];
  unsigned long any = ++state.any_count;
  CK_RV rv = find_fault(state.config.faults, fn, count, any, size_query);
  return rv;
}

Session *find_session(CK_SESSION_HANDLE h) {
  auto it = state.sessions.find(h);
  return it == state.sessions.end() ? nullptr : &it->second;
}

// Blank-pads `text` into a fixed-width field (no terminator).
void pad(CK_UTF8CHAR *dst, size_t width, const std::string &text) {
  std::memset(dst, ' ', width);
  std::memcpy(dst, text.data(), text.size() < width ? text.size() : width);
}

bool attr_true(const Object &o, CK_ATTRIBUTE_TYPE t) {
  auto it = o.attrs.find(t);
  return it != o.attrs.end() && it->second.size() == 1 && it->second[0] != 0;
}

// An object is visible in a session unless it is private on a token that
// demands a login and the slot is not logged in.
bool visible(size_t slot, const Object &o) {
  const Slot &s = state.config.slots[slot];
  if ((s.flags & CKF_LOGIN_REQUIRED) && attr_true(o, CKA_PRIVATE) && !state.logged_in[slot])
    return false;
  return true;
}

const Object *find_object(const Session &sess, CK_OBJECT_HANDLE h) {
  for (const Object &o : state.config.slots[sess.slot].objects)
    if (o.handle == h) return visible(sess.slot, o) ? &o : nullptr;
  return nullptr;
}

bool matches(const Object &o, const CK_ATTRIBUTE *tmpl, CK_ULONG n) {
  for (CK_ULONG i = 0; i < n; i++) {
    auto it = o.attrs.find(tmpl[i].type);
    if (it == o.attrs.end() || it->second.size() != tmpl[i].ulValueLen) return false;
    if (tmpl[i].ulValueLen != 0 &&
        (tmpl[i].pValue == nullptr ||
         std::memcmp(it->second.data(), tmpl[i].pValue, tmpl[i].ulValueLen) != 0))
      return false;
  }
  return true;
}

std::string hex(const void *p, CK_ULONG n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  const auto *b = static_cast<const uint8_t *>(p);
  for (CK_ULONG i = 0; i < n && b != nullptr; i++) {
    s += digits[b[i] >> 4];
    s += digits[b[i] & 15];
  }
  return s;
}

// NAME=VALUE of one search-template entry, as the call log shows it.
std::string describe(const CK_ATTRIBUTE &a) {
  std::string s = attr_name(a.type) + "=";
  if (a.pValue == nullptr) return s;
  bool is_ulong = a.type == CKA_CLASS || a.type == CKA_KEY_TYPE || a.type == CKA_CERTIFICATE_TYPE;
  bool is_bool = a.type == CKA_SIGN || a.type == CKA_TOKEN || a.type == CKA_PRIVATE ||
                 a.type == CKA_ALWAYS_AUTHENTICATE;
  if (is_ulong && a.ulValueLen == sizeof(CK_ULONG)) {
    CK_ULONG v;
    std::memcpy(&v, a.pValue, sizeof v);
    return s + std::to_string(v);
  }
  if (is_bool && a.ulValueLen == 1)
    return s + (*static_cast<const CK_BBOOL *>(a.pValue) ? "1" : "0");
  return s + hex(a.pValue, a.ulValueLen);
}

void end_session(CK_SESSION_HANDLE h) {
  size_t slot = state.sessions[h].slot;
  state.sessions.erase(h);
  for (const auto &[handle, sess] : state.sessions)
    if (sess.slot == slot) return;
  state.logged_in[slot] = false;  // the last session of a slot ends its login
}

// Finds the configured slot with identifier `id`; CKR_OK when it holds a token.
CK_RV slot_index(CK_SLOT_ID id, size_t &index) {
  for (size_t i = 0; i < state.config.slots.size(); i++) {
    if (state.config.slots[i].id == id) {
      index = i;
      return state.config.slots[i].present ? CKR_OK : CKR_TOKEN_NOT_PRESENT;
    }
  }
  return CKR_SLOT_ID_INVALID;
}

CK_RV mock_Initialize(CK_VOID_PTR init_args) {
  call_log(init_args == nullptr ? "C_Initialize" : "C_Initialize args");
  unsigned long count = ++initialize_calls;
  if (state.initialized) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
  if (init_args != nullptr && static_cast<CK_C_INITIALIZE_ARGS *>(init_args)->pReserved != nullptr)
    return CKR_ARGUMENTS_BAD;
  Config cfg;
  const char *path = std::getenv("VARDEK_MOCK_CONFIG");
  if (path != nullptr && *path != '\0') {
    std::string err;
    if (!load_config(path, cfg, err)) {
      std::fprintf(stderr, "mock-p11: %s\n", err.c_str());
      return CKR_GENERAL_ERROR;
    }
  }
  if (CK_RV rv = find_fault(cfg.faults, "C_Initialize", count, 0, false)) return rv;
  state = State{};
  state.config = std::move(cfg);
  state.logged_in.assign(state.config.slots.size(), false);
  state.initialized = true;
  if (!state.config.chatter.empty()) {
    // Straight to descriptor 1, as a module's debug print would.
    ssize_t n = write(1, state.config.chatter.data(), state.config.chatter.size());
    (void)n;
  }
  return CKR_OK;
}

CK_RV mock_Finalize(CK_VOID_PTR reserved) {
  call_log("C_Finalize");
  if (CK_RV rv = begin("C_Finalize")) return rv;
  if (reserved != nullptr) return CKR_ARGUMENTS_BAD;
  state = State{};
  return CKR_OK;
}

CK_RV mock_GetInfo(CK_INFO_PTR info) {
  call_log("C_GetInfo");
  if (CK_RV rv = begin("C_GetInfo")) return rv;
  if (info == nullptr) return CKR_ARGUMENTS_BAD;
  std::memset(info, 0, sizeof *info);
  info->cryptokiVersion = state.config.cryptoki;
  pad(info->manufacturerID, sizeof info->manufacturerID, state.config.manufacturer);
  pad(info->libraryDescription, sizeof info->libraryDescription, state.config.description);
  info->libraryVersion = state.config.version;
  return CKR_OK;
}

CK_RV mock_GetSlotList(CK_BBOOL token_present, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
  if (list == nullptr)
    call_log("C_GetSlotList present=%u list=null", static_cast<unsigned>(token_present));
  else
    call_log("C_GetSlotList present=%u list=%lu", static_cast<unsigned>(token_present),
             count != nullptr ? *count : 0UL);
  if (CK_RV rv = begin("C_GetSlotList")) return rv;
  if (count == nullptr) return CKR_ARGUMENTS_BAD;
  std::vector<CK_SLOT_ID> ids;
  for (const Slot &s : state.config.slots)
    if (!token_present || s.present) ids.push_back(s.id);
  const long lie = state.config.getslotlist_count;
  if (list == nullptr) {
    *count = lie >= 0 ? static_cast<CK_ULONG>(lie) : ids.size();
    return CKR_OK;
  }
  if (lie < 0 && *count < ids.size()) {
    *count = ids.size();
    return CKR_BUFFER_TOO_SMALL;
  }
  CK_ULONG n = ids.size() < *count ? ids.size() : *count;
  for (CK_ULONG i = 0; i < n; i++) list[i] = ids[i];
  *count = n;
  return CKR_OK;
}

CK_RV mock_GetSlotInfo(CK_SLOT_ID id, CK_SLOT_INFO_PTR info) {
  call_log("C_GetSlotInfo slot=%lu", id);
  if (CK_RV rv = begin("C_GetSlotInfo")) return rv;
  if (info == nullptr) return CKR_ARGUMENTS_BAD;
  size_t i;
  CK_RV rv = slot_index(id, i);
  if (rv != CKR_OK && rv != CKR_TOKEN_NOT_PRESENT) return rv;
  const Slot &s = state.config.slots[i];
  std::memset(info, 0, sizeof *info);
  pad(info->slotDescription, sizeof info->slotDescription, "vardek mock slot");
  pad(info->manufacturerID, sizeof info->manufacturerID, state.config.manufacturer);
  info->flags = s.present ? CKF_TOKEN_PRESENT : 0;
  return CKR_OK;
}

CK_RV mock_GetTokenInfo(CK_SLOT_ID id, CK_TOKEN_INFO_PTR info) {
  call_log("C_GetTokenInfo slot=%lu", id);
  if (CK_RV rv = begin("C_GetTokenInfo")) return rv;
  if (info == nullptr) return CKR_ARGUMENTS_BAD;
  size_t i;
  if (CK_RV rv = slot_index(id, i)) return rv;
  const Slot &s = state.config.slots[i];
  std::memset(info, 0, sizeof *info);
  pad(info->label, sizeof info->label, s.label);
  pad(info->manufacturerID, sizeof info->manufacturerID, s.manufacturer);
  pad(info->model, sizeof info->model, s.model);
  pad(info->serialNumber, sizeof info->serialNumber, s.serial);
  info->flags = s.flags;
  info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
  info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
  info->ulMaxPinLen = 64;
  info->ulMinPinLen = 1;
  info->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
  pad(info->utcTime, sizeof info->utcTime, "");
  CK_ULONG n = 0;
  for (const auto &[h, sess] : state.sessions) n += sess.slot == i;
  info->ulSessionCount = n;
  return CKR_OK;
}

CK_RV mock_OpenSession(CK_SLOT_ID id, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY,
                       CK_SESSION_HANDLE_PTR session) {
  call_log("C_OpenSession slot=%lu flags=0x%lx", id, flags);
  if (CK_RV rv = begin("C_OpenSession")) return rv;
  if (session == nullptr) return CKR_ARGUMENTS_BAD;
  size_t i;
  if (CK_RV rv = slot_index(id, i)) return rv;
  if (!(flags & CKF_SERIAL_SESSION)) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
  Session s;
  s.slot = i;
  s.flags = flags;
  CK_SESSION_HANDLE h = state.next_session++;
  state.sessions[h] = s;
  *session = h;
  return CKR_OK;
}

CK_RV mock_CloseSession(CK_SESSION_HANDLE h) {
  call_log("C_CloseSession h=%lu", h);
  if (CK_RV rv = begin("C_CloseSession")) return rv;
  if (find_session(h) == nullptr) return CKR_SESSION_HANDLE_INVALID;
  end_session(h);
  return CKR_OK;
}

CK_RV mock_CloseAllSessions(CK_SLOT_ID id) {
  call_log("C_CloseAllSessions slot=%lu", id);
  if (CK_RV rv = begin("C_CloseAllSessions")) return rv;
  size_t i;
  if (CK_RV rv = slot_index(id, i)) return rv;
  std::vector<CK_SESSION_HANDLE> doomed;
  for (const auto &[h, sess] : state.sessions)
    if (sess.slot == i) doomed.push_back(h);
  for (CK_SESSION_HANDLE h : doomed) end_session(h);
  return CKR_OK;
}

CK_RV mock_Login(CK_SESSION_HANDLE h, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG pin_len) {
  call_log("C_Login h=%lu user=%lu pin_len=%lu", h, user, pin_len);
  if (CK_RV rv = begin("C_Login")) return rv;
  Session *s = find_session(h);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (pin == nullptr && pin_len != 0) return CKR_ARGUMENTS_BAD;
  const Slot &slot = state.config.slots[s->slot];
  const bool pin_ok = pin_len == slot.pin.size() &&
                      (pin_len == 0 || std::memcmp(pin, slot.pin.data(), pin_len) == 0);
  switch (user) {
    case CKU_USER:
      if (state.logged_in[s->slot]) return CKR_USER_ALREADY_LOGGED_IN;
      if (!pin_ok) return CKR_PIN_INCORRECT;
      state.logged_in[s->slot] = true;
      return CKR_OK;
    case CKU_CONTEXT_SPECIFIC:
      if (!s->sign_active) return CKR_OPERATION_NOT_INITIALIZED;
      if (!pin_ok) return CKR_PIN_INCORRECT;
      s->context_login = true;
      return CKR_OK;
    default:
      return CKR_USER_TYPE_INVALID;
  }
}

CK_RV mock_Logout(CK_SESSION_HANDLE h) {
  call_log("C_Logout h=%lu", h);
  if (CK_RV rv = begin("C_Logout")) return rv;
  Session *s = find_session(h);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (!state.logged_in[s->slot]) return CKR_USER_NOT_LOGGED_IN;
  state.logged_in[s->slot] = false;
  return CKR_OK;
}

CK_RV mock_GetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_PTR tmpl,
                             CK_ULONG n) {
  std::string line = "C_GetAttributeValue h=" + std::to_string(h) + " obj=" + std::to_string(obj);
  bool size_query = n > 0 && tmpl != nullptr;
  for (CK_ULONG i = 0; tmpl != nullptr && i < n; i++) {
    line += " " + attr_name(tmpl[i].type);
    if (tmpl[i].pValue != nullptr) size_query = false;
  }
  if (size_query) line += " (size)";
  call_log("%s", line.c_str());
  if (CK_RV rv = begin("C_GetAttributeValue", size_query)) return rv;
  Session *s = find_session(h);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (tmpl == nullptr && n != 0) return CKR_ARGUMENTS_BAD;
  const Object *o = find_object(*s, obj);
  if (o == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  CK_RV result = CKR_OK;
  for (CK_ULONG i = 0; i < n; i++) {
    CK_ATTRIBUTE &a = tmpl[i];
    auto it = o->attrs.find(a.type);
    if (it == o->attrs.end()) {
      a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      if (result == CKR_OK) result = CKR_ATTRIBUTE_TYPE_INVALID;
      continue;
    }
    const Bytes &v = it->second;
    if (a.pValue == nullptr) {
      a.ulValueLen = v.size();
    } else if (a.ulValueLen >= v.size()) {
      if (!v.empty()) std::memcpy(a.pValue, v.data(), v.size());
      a.ulValueLen = v.size();
    } else {
      switch (o->small_buffer) {
        case SmallBuffer::standard:
          a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
          if (result == CKR_OK) result = CKR_BUFFER_TOO_SMALL;
          break;
        case SmallBuffer::ok:
          // Misbehaving token: fills what fits and reports the full length.
          std::memcpy(a.pValue, v.data(), a.ulValueLen);
          a.ulValueLen = v.size();
          break;
        case SmallBuffer::unavailable:
          a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
          break;
      }
    }
  }
  return result;
}

CK_RV mock_FindObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR tmpl, CK_ULONG n) {
  std::string line = "C_FindObjectsInit h=" + std::to_string(h);
  for (CK_ULONG i = 0; tmpl != nullptr && i < n; i++) line += " " + describe(tmpl[i]);
  call_log("%s", line.c_str());
  if (CK_RV rv = begin("C_FindObjectsInit")) return rv;
  Session *s = find_session(h);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (tmpl == nullptr && n != 0) return CKR_ARGUMENTS_BAD;
  if (s->find_active) return CKR_OPERATION_ACTIVE;
  s->found.clear();
  s->found_pos = 0;
  for (const Object &o : state.config.slots[s->slot].objects)
    if (visible(s->slot, o) && matches(o, tmpl, n)) s->found.push_back(o.handle);
  s->find_active = true;
  return CKR_OK;
}

CK_RV mock_FindObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE_PTR objs, CK_ULONG max,
                       CK_ULONG_PTR count) {
  call_log("C_FindObjects h=%lu max=%lu", h, max);
  if (CK_RV rv = begin("C_FindObjects")) return rv;
  Session *s = find_session(h);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (count == nullptr || (objs == nullptr && max != 0)) return CKR_ARGUMENTS_BAD;
  if (!s->find_active) return CKR_OPERATION_NOT_INITIALIZED;
  CK_ULONG n = 0;
  while (n < max && s->found_pos < s->found.size()) objs[n++] = s->found[s->found_pos++];
  // A broken module that never runs out: the last object again and again.
  if (state.config.find_forever && n == 0 && max > 0) {
    objs[n++] = s->found.empty() ? 1 : s->found.back();
  }
  *count = n;
  return CKR_OK;
}

CK_RV mock_FindObjectsFinal(CK_SESSION_HANDLE h) {
  call_log("C_FindObjectsFinal h=%lu", h);
  if (CK_RV rv = begin("C_FindObjectsFinal")) return rv;
  Session *s = find_session(h);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (!s->find_active) return CKR_OPERATION_NOT_INITIALIZED;
  s->find_active = false;
  s->found.clear();
  return CKR_OK;
}

CK_RV mock_SignInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE key) {
  call_log("C_SignInit h=%lu mech=0x%lx obj=%lu", h, mech != nullptr ? mech->mechanism : 0UL, key);
  if (CK_RV rv = begin("C_SignInit")) return rv;
  Session *s = find_session(h);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (mech == nullptr) return CKR_ARGUMENTS_BAD;
  if (s->sign_active) return CKR_OPERATION_ACTIVE;
  const Object *o = find_object(*s, key);
  if (o == nullptr) return CKR_KEY_HANDLE_INVALID;
  if (mech->mechanism != CKM_RSA_PKCS && mech->mechanism != CKM_ECDSA) return CKR_MECHANISM_INVALID;
  if (mech->pParameter != nullptr || mech->ulParameterLen != 0) return CKR_MECHANISM_PARAM_INVALID;
  // A key that says CKA_SIGN false refuses; one that does not expose the
  // attribute at all signs, as tokens that omit it do.
  if (o->key == nullptr || (o->attrs.count(CKA_SIGN) != 0 && !attr_true(*o, CKA_SIGN)))
    return CKR_KEY_FUNCTION_NOT_PERMITTED;
  if (signature_length(o->key.get(), mech->mechanism) == 0) return CKR_KEY_TYPE_INCONSISTENT;
  s->sign_active = true;
  s->sign_mech = mech->mechanism;
  s->sign_key = o;
  s->context_login = false;
  return CKR_OK;
}

CK_RV mock_Sign(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG len, CK_BYTE_PTR sig,
                CK_ULONG_PTR sig_len) {
  call_log("C_Sign h=%lu len=%lu", h, len);
  Session *s = find_session(h);
  if (CK_RV rv = begin("C_Sign")) {
    // A failed C_Sign ends the operation, as on a real token.
    if (s != nullptr && rv != CKR_BUFFER_TOO_SMALL) s->sign_active = false;
    return rv;
  }
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (!s->sign_active) return CKR_OPERATION_NOT_INITIALIZED;
  if (sig_len == nullptr || (data == nullptr && len != 0)) {
    s->sign_active = false;
    return CKR_ARGUMENTS_BAD;
  }
  const Object *o = s->sign_key;
  if (attr_true(*o, CKA_ALWAYS_AUTHENTICATE) && !s->context_login) {
    s->sign_active = false;
    return CKR_USER_NOT_LOGGED_IN;
  }
  const bool ecdsa = s->sign_mech == CKM_ECDSA;
  size_t want = signature_length(o->key.get(), s->sign_mech);
  if (ecdsa && state.config.ec_sig_len >= 0) want = static_cast<size_t>(state.config.ec_sig_len);
  if (sig == nullptr) {
    *sig_len = want;
    return CKR_OK;
  }
  if (*sig_len < want) {
    *sig_len = want;
    return CKR_BUFFER_TOO_SMALL;
  }
  s->sign_active = false;
  // Buffered, so it reaches descriptor 1 whenever stdio flushes.
  if (!state.config.chatter.empty()) std::printf("%s", state.config.chatter.c_str());
  Bytes out;
  if (state.config.instant_sign)
    out.assign(want, 0x01);
  else if (CK_RV rv = sign_data(o->key.get(), s->sign_mech, data, len, out))
    return rv;
  out.resize(want, 0);
  std::memcpy(sig, out.data(), want);
  *sig_len = want;
  return CKR_OK;
}

CK_RV unsupported(const char *fn) {
  call_log("%s", fn);
  if (CK_RV rv = begin(fn)) return rv;
  return CKR_FUNCTION_NOT_SUPPORTED;
}

#define MOCK_UNSUPPORTED(name, params) \
  CK_RV mock_##name params { return unsupported("C_" #name); }

MOCK_UNSUPPORTED(GetMechanismList, (CK_SLOT_ID, CK_MECHANISM_TYPE_PTR, CK_ULONG_PTR))
MOCK_UNSUPPORTED(GetMechanismInfo, (CK_SLOT_ID, CK_MECHANISM_TYPE, CK_MECHANISM_INFO_PTR))
MOCK_UNSUPPORTED(InitToken, (CK_SLOT_ID, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR))
MOCK_UNSUPPORTED(InitPIN, (CK_SESSION_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG))
MOCK_UNSUPPORTED(SetPIN, (CK_SESSION_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG))
MOCK_UNSUPPORTED(GetSessionInfo, (CK_SESSION_HANDLE, CK_SESSION_INFO_PTR))
MOCK_UNSUPPORTED(GetOperationState, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR))
MOCK_UNSUPPORTED(SetOperationState,
                 (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE))
MOCK_UNSUPPORTED(CreateObject,
                 (CK_SESSION_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR))
MOCK_UNSUPPORTED(CopyObject, (CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG,
                              CK_OBJECT_HANDLE_PTR))
MOCK_UNSUPPORTED(DestroyObject, (CK_SESSION_HANDLE, CK_OBJECT_HANDLE))
MOCK_UNSUPPORTED(GetObjectSize, (CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ULONG_PTR))
MOCK_UNSUPPORTED(SetAttributeValue,
                 (CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG))
MOCK_UNSUPPORTED(EncryptInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE))
MOCK_UNSUPPORTED(Encrypt, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
MOCK_UNSUPPORTED(EncryptUpdate,
                 (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
MOCK_UNSUPPORTED(EncryptFinal, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR))
MOCK_UNSUPPORTED(DecryptInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE))
MOCK_UNSUPPORTED(Decrypt, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
MOCK_UNSUPPORTED(DecryptUpdate,
                 (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
MOCK_UNSUPPORTED(DecryptFinal, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR))
MOCK_UNSUPPORTED(DigestInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR))
MOCK_UNSUPPORTED(Digest, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
MOCK_UNSUPPORTED(DigestUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG))
MOCK_UNSUPPORTED(DigestKey, (CK_SESSION_HANDLE, CK_OBJECT_HANDLE))
MOCK_UNSUPPORTED(DigestFinal, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR))
MOCK_UNSUPPORTED(SignUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG))
MOCK_UNSUPPORTED(SignFinal, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR))
MOCK_UNSUPPORTED(SignRecoverInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE))
MOCK_UNSUPPORTED(SignRecover, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
MOCK_UNSUPPORTED(VerifyInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE))
MOCK_UNSUPPORTED(Verify, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG))
MOCK_UNSUPPORTED(VerifyUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG))
MOCK_UNSUPPORTED(VerifyFinal, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG))
MOCK_UNSUPPORTED(VerifyRecoverInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE))
MOCK_UNSUPPORTED(VerifyRecover,
                 (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
MOCK_UNSUPPORTED(DigestEncryptUpdate,
                 (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
MOCK_UNSUPPORTED(DecryptDigestUpdate,
                 (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
MOCK_UNSUPPORTED(SignEncryptUpdate,
                 (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
MOCK_UNSUPPORTED(DecryptVerifyUpdate,
                 (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
MOCK_UNSUPPORTED(GenerateKey, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG,
                               CK_OBJECT_HANDLE_PTR))
MOCK_UNSUPPORTED(GenerateKeyPair,
                 (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_ATTRIBUTE_PTR,
                  CK_ULONG, CK_OBJECT_HANDLE_PTR, CK_OBJECT_HANDLE_PTR))
MOCK_UNSUPPORTED(WrapKey, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE,
                           CK_BYTE_PTR, CK_ULONG_PTR))
MOCK_UNSUPPORTED(UnwrapKey, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_BYTE_PTR,
                             CK_ULONG, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR))
MOCK_UNSUPPORTED(DeriveKey, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE,
                             CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR))
MOCK_UNSUPPORTED(SeedRandom, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG))
MOCK_UNSUPPORTED(GenerateRandom, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG))
MOCK_UNSUPPORTED(GetFunctionStatus, (CK_SESSION_HANDLE))
MOCK_UNSUPPORTED(CancelFunction, (CK_SESSION_HANDLE))
MOCK_UNSUPPORTED(WaitForSlotEvent, (CK_FLAGS, CK_SLOT_ID_PTR, CK_VOID_PTR))

#undef MOCK_UNSUPPORTED

CK_RV mock_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list);

CK_FUNCTION_LIST function_list = {
    {2, 40},
    mock_Initialize,
    mock_Finalize,
    mock_GetInfo,
    mock_GetFunctionList,
    mock_GetSlotList,
    mock_GetSlotInfo,
    mock_GetTokenInfo,
    mock_GetMechanismList,
    mock_GetMechanismInfo,
    mock_InitToken,
    mock_InitPIN,
    mock_SetPIN,
    mock_OpenSession,
    mock_CloseSession,
    mock_CloseAllSessions,
    mock_GetSessionInfo,
    mock_GetOperationState,
    mock_SetOperationState,
    mock_Login,
    mock_Logout,
    mock_CreateObject,
    mock_CopyObject,
    mock_DestroyObject,
    mock_GetObjectSize,
    mock_GetAttributeValue,
    mock_SetAttributeValue,
    mock_FindObjectsInit,
    mock_FindObjects,
    mock_FindObjectsFinal,
    mock_EncryptInit,
    mock_Encrypt,
    mock_EncryptUpdate,
    mock_EncryptFinal,
    mock_DecryptInit,
    mock_Decrypt,
    mock_DecryptUpdate,
    mock_DecryptFinal,
    mock_DigestInit,
    mock_Digest,
    mock_DigestUpdate,
    mock_DigestKey,
    mock_DigestFinal,
    mock_SignInit,
    mock_Sign,
    mock_SignUpdate,
    mock_SignFinal,
    mock_SignRecoverInit,
    mock_SignRecover,
    mock_VerifyInit,
    mock_Verify,
    mock_VerifyUpdate,
    mock_VerifyFinal,
    mock_VerifyRecoverInit,
    mock_VerifyRecover,
    mock_DigestEncryptUpdate,
    mock_DecryptDigestUpdate,
    mock_SignEncryptUpdate,
    mock_DecryptVerifyUpdate,
    mock_GenerateKey,
    mock_GenerateKeyPair,
    mock_WrapKey,
    mock_UnwrapKey,
    mock_DeriveKey,
    mock_SeedRandom,
    mock_GenerateRandom,
    mock_GetFunctionStatus,
    mock_CancelFunction,
    mock_WaitForSlotEvent,
};

CK_RV mock_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  call_log("C_GetFunctionList");
  unsigned long count = ++getfunctionlist_calls;
  // Only this call's own faults matter before C_Initialize; a file that does
  // not parse is reported by C_Initialize.
  const char *path = std::getenv("VARDEK_MOCK_CONFIG");
  if (path != nullptr && *path != '\0') {
    Config cfg;
    std::string err;
    if (load_config(path, cfg, err)) {
      if (CK_RV rv = find_fault(cfg.faults, "C_GetFunctionList", count, 0, false)) return rv;
    }
  }
  if (list == nullptr) return CKR_ARGUMENTS_BAD;
  *list = &function_list;
  return CKR_OK;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(
    CK_FUNCTION_LIST_PTR_PTR list) {
  return mock_GetFunctionList(list);
}
