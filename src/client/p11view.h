// The client's own read-only look at a PKCS#11 module: it loads the module
// itself, lists slots and tokens, and reads the public objects a session
// without login shows. It never logs in; the PIN goes only to vardek.
#ifndef VARDEK_CLIENT_P11VIEW_H
#define VARDEK_CLIENT_P11VIEW_H

#include <p11-kit/pkcs11.h>

#include <optional>
#include <string>
#include <vector>

#include "client/encoding.h"

namespace vardek::client {

struct ObjectView {
  CK_OBJECT_CLASS cls = 0;  // CKO_PUBLIC_KEY, CKO_PRIVATE_KEY or CKO_CERTIFICATE
  std::string label;
  Bytes id;
  std::string kind;  // "RSA 2048", "ECDSA 256", "EC secp256k1", "DSA", ...
  Bytes blob;        // the SSH public key blob, when one can be built
  int sign = -1;     // CKA_SIGN of a private key: 1, 0, or -1 when not visible
  int always_auth = -1;
  std::string problem;  // why vardek cannot offer or use it; "" when none is known
};

struct TokenView {
  CK_SLOT_ID slot_id = 0;
  std::string slot_description;
  bool present = false;
  std::string label, manufacturer, model, serial;  // blank padding removed
  CK_FLAGS flags = 0;
  bool objects_read = false;
  std::string objects_why;  // why the objects could not be read
  std::vector<ObjectView> objects;

  bool initialised() const { return (flags & CKF_TOKEN_INITIALIZED) != 0; }
  bool login_required() const { return (flags & CKF_LOGIN_REQUIRED) != 0; }
  // A login risks the token's last retry or cannot succeed at all.
  bool pin_at_risk() const { return (flags & (CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED)) != 0; }
  // Public key objects and certificates the view found, and private keys.
  size_t count(CK_OBJECT_CLASS cls) const;
};

struct ModuleView {
  std::string path;
  std::string manufacturer, description;
  std::vector<TokenView> slots;  // every slot, with or without a token
};

// Why a module path cannot be loaded, in the user's terms: "no such file",
// "a directory", "not a shared library", "no C_GetFunctionList", a
// relative or bare path that does not resolve, or the loader's own reason.
// "" when the path looks loadable.
std::string module_path_problem(const std::string &path);

// Loads `path`, reads slots, tokens and (with `objects`) the objects visible
// without login, and unloads it again. nullopt with `why` set when the
// module cannot be loaded or initialised.
std::optional<ModuleView> view_module(const std::string &path, bool objects, std::string &why);

// Hints for a module that initialised but shows no token, or failed: a
// daemon or server it needs. "" when there is none to give.
std::string module_service_hint(const std::string &path);

// Lower-case hexadecimal.
std::string hex(const Bytes &b);
// The bytes of `b` as %XX for a pkcs11: URI.
std::string percent_all(const Bytes &b);
// `s` percent-encoded for a URI path value.
std::string percent_text(const std::string &s);

}  // namespace vardek::client

#endif
