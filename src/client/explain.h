// What a failure means, in words for the person at the token.
#ifndef VARDEK_CLIENT_EXPLAIN_H
#define VARDEK_CLIENT_EXPLAIN_H

#include <cstdint>
#include <string>

#include "client/pin.h"

namespace vardek::client {

// A short word for scripts ("no-keys", "module-failed", "no-token", ...)
// for the reason word of a refused add.
std::string add_refusal_code(uint32_t reason);
// The explanation of a refused add; `origin` tells where the PIN came from.
std::string explain_add_refusal(uint32_t reason, PinOrigin origin);
// The explanation of a refused signature.
std::string explain_sign_refusal();

}  // namespace vardek::client

#endif
