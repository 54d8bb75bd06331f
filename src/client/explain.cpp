#include "client/explain.h"

namespace vardek::client {

std::string add_refusal_code(uint32_t reason) {
  switch (reason) {
    case 0:
      return "no-keys";
    case 1:
      return "module-failed";
    case 3:
      return "no-token";
    default:
      return "refused";
  }
}

std::string explain_add_refusal(uint32_t reason, PinOrigin origin) {
  switch (reason) {
    case 0: {
      std::string s =
          "no keys: the provider loaded but yielded no keys. A wrong PIN is the usual cause: "
          "vardek reports a failed login as \"no keys\".";
      if (origin == PinOrigin::none)
        s += " No PIN was given (use --pin-file or --pin-env, or run on a terminal to be "
             "asked), and a token that needs a login shows no keys without one.";
      s += " Otherwise the token holds no RSA or ECDSA key with a public key object or a "
           "certificate, or the URI selects none.";
      return s;
    }
    case 1:
      return "the PKCS#11 module could not be loaded or initialised: check that the path "
             "names a PKCS#11 module, that the module finds its own configuration (for "
             "SoftHSM2, SOFTHSM2_CONF), and that a URI's library-manufacturer matches it.";
    case 3:
      return "the module reports no slot with a token: check that the card or reader is "
             "plugged in and that the token is initialised.";
    default:
      return "vardek refused the provider (reason " + std::to_string(reason) + ").";
  }
}

std::string explain_sign_refusal() {
  return "the token refused to sign. A key that needs authentication for every signature "
         "(CKA_ALWAYS_AUTHENTICATE) cannot sign through vardek, which never asks for a PIN; "
         "otherwise the token was not logged in when the provider was added, and a token "
         "that was not logged in cannot sign.";
}

}  // namespace vardek::client
