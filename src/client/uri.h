// The client's own reading of a provider name before vardek sees it: a
// module path, or a pkcs11: URI whose attributes are checked against what
// vardek honours, so that typos and attributes vardek ignores are named
// instead of silently widening the selection.
#ifndef VARDEK_CLIENT_URI_H
#define VARDEK_CLIENT_URI_H

#include <optional>
#include <string>
#include <vector>

#include "client/encoding.h"

namespace vardek::client {

struct ProviderName {
  bool is_uri = false;
  std::string module;  // module-path, or the whole name; "" when the default applies
  std::optional<std::string> token, manufacturer, object, library_manufacturer;
  std::optional<Bytes> id;
  std::optional<std::string> serial, model;  // read for the explanations; vardek ignores them
  std::vector<std::string> warnings;         // one sentence each
};

// Reads `name`. Malformed percent-coding, an empty id and an attribute given
// twice (all of which end vardek) give nullopt with `why` set.
std::optional<ProviderName> parse_provider(const std::string &name, std::string &why);

// The module vardek loads for `p`: its module-path or `default_module`.
inline std::string module_for(const ProviderName &p, const std::string &default_module) {
  return p.module.empty() ? default_module : p.module;
}

}  // namespace vardek::client

#endif
