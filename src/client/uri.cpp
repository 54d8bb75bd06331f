#include "client/uri.h"

#include <algorithm>
#include <array>

namespace vardek::client {

namespace {

constexpr std::string_view scheme = "pkcs11:";

// What vardek reads in the path and in the query.
constexpr std::array<std::string_view, 5> path_honoured = {"id", "token", "object",
                                                           "library-manufacturer", "manufacturer"};
// RFC 7512 path attributes that vardek does not read.
constexpr std::array<std::string_view, 8> path_ignored = {"serial",
                                                          "model",
                                                          "slot-id",
                                                          "slot-description",
                                                          "slot-manufacturer",
                                                          "type",
                                                          "library-description",
                                                          "library-version"};
constexpr std::array<std::string_view, 4> query_known = {"module-path", "pin-value", "module-name",
                                                         "pin-source"};

size_t distance(std::string_view a, std::string_view b) {
  std::vector<size_t> prev(b.size() + 1), cur(b.size() + 1);
  for (size_t j = 0; j <= b.size(); j++) prev[j] = j;
  for (size_t i = 1; i <= a.size(); i++) {
    cur[0] = i;
    for (size_t j = 1; j <= b.size(); j++)
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (a[i - 1] != b[j - 1])});
    std::swap(prev, cur);
  }
  return prev[b.size()];
}

// The known attribute `name` most likely stands for, or "".
std::string likely(std::string_view name) {
  std::string best;
  size_t best_d = 3;
  auto consider = [&](std::string_view k) {
    std::string a(name), b(k);
    std::erase(a, '-');
    std::erase(b, '-');
    size_t d = a == b ? 0 : distance(name, k);
    if (d < best_d) {
      best_d = d;
      best = k;
    }
  };
  for (auto k : path_honoured) consider(k);
  for (auto k : path_ignored) consider(k);
  for (auto k : query_known) consider(k);
  return best;
}

bool hexdigit(char c) { return isxdigit(static_cast<unsigned char>(c)) != 0; }

std::optional<std::string> decode(const std::string &name, const std::string &v, std::string &why) {
  std::string out;
  for (size_t i = 0; i < v.size(); i++) {
    if (v[i] != '%') {
      out += v[i];
      continue;
    }
    if (i + 2 >= v.size() || !hexdigit(v[i + 1]) || !hexdigit(v[i + 2])) {
      why = "malformed percent-coding in ";
      why += name;
      why += "=";
      why += v;
      why +=
          ": every \"%\" must be followed by two hexadecimal digits (write a literal "
          "\"%\" as %25)";
      return std::nullopt;
    }
    out += static_cast<char>(std::stoi(v.substr(i + 1, 2), nullptr, 16));
    i += 2;
  }
  return out;
}

std::vector<std::string> split(const std::string &s, char sep) {
  std::vector<std::string> v;
  size_t start = 0;
  for (size_t i = 0; i <= s.size(); i++) {
    if (i == s.size() || s[i] == sep) {
      if (i > start) v.push_back(s.substr(start, i - start));
      start = i + 1;
    }
  }
  return v;
}

bool contains(const auto &list, std::string_view n) {
  return std::find(list.begin(), list.end(), n) != list.end();
}

}  // namespace

std::optional<ProviderName> parse_provider(const std::string &name, std::string &why) {
  ProviderName p;
  if (!name.starts_with(scheme)) {
    p.module = name;
    return p;
  }
  p.is_uri = true;
  std::string rest = name.substr(scheme.size());
  std::string path = rest, query;
  if (size_t q = rest.find('?'); q != std::string::npos) {
    path = rest.substr(0, q);
    size_t qs = rest.find_first_not_of('?', q);
    if (qs != std::string::npos) {
      size_t qe = rest.find('?', qs);
      query = rest.substr(qs, qe == std::string::npos ? std::string::npos : qe - qs);
      if (qe != std::string::npos)
        p.warnings.push_back("everything after the second \"?\" (" + rest.substr(qe) +
                             ") is ignored");
    }
  }
  auto unknown = [&](const std::string &n, const char *where) {
    std::string guess = likely(n);
    std::string w = "unknown " + std::string(where) + " attribute \"" + n + "\" is ignored";
    if (!guess.empty()) w += " (did you mean \"" + guess + "\"?)";
    p.warnings.push_back(w);
  };
  for (const std::string &piece : split(path, ';')) {
    size_t eq = piece.find('=');
    std::string n = piece.substr(0, eq);
    std::string v = eq == std::string::npos ? "" : piece.substr(eq + 1);
    std::transform(n.begin(), n.end(), n.begin(), [](unsigned char c) { return tolower(c); });
    if (eq == std::string::npos) {
      p.warnings.push_back("\"" + piece + "\" has no \"=\" and is ignored");
      continue;
    }
    auto value = decode(n, v, why);
    if (!value) return std::nullopt;
    auto once = [&](auto &field) {
      if (field) {
        why = n + "= is given twice (vardek refuses such a URI)";
        return false;
      }
      return true;
    };
    if (n == "id") {
      if (!once(p.id)) return std::nullopt;
      if (value->empty()) {
        why = "id= is empty (vardek refuses such a URI; leave id out to select every key)";
        return std::nullopt;
      }
      p.id = Bytes(value->begin(), value->end());
    } else if (n == "token" || n == "object" || n == "manufacturer" ||
               n == "library-manufacturer") {
      auto &field = n == "token"          ? p.token
                    : n == "object"       ? p.object
                    : n == "manufacturer" ? p.manufacturer
                                          : p.library_manufacturer;
      if (!once(field)) return std::nullopt;
      field = *value;
    } else if (n == "module-path") {
      p.warnings.push_back(
          "module-path belongs in the query, after \"?\" (pkcs11:...?module-path=" + v +
          "); in the path vardek ignores it and loads its default module");
    } else if (contains(path_ignored, n)) {
      if (n == "serial") p.serial = *value;
      if (n == "model") p.model = *value;
      p.warnings.push_back(n +
                           "= is ignored: vardek selects tokens by token=, manufacturer= "
                           "and library-manufacturer= only");
    } else {
      unknown(n, "path");
    }
  }
  for (const std::string &piece : split(query, '&')) {
    size_t eq = piece.find('=');
    std::string n = piece.substr(0, eq);
    std::string v = eq == std::string::npos ? "" : piece.substr(eq + 1);
    std::transform(n.begin(), n.end(), n.begin(), [](unsigned char c) { return tolower(c); });
    if (n == "module-path") {
      if (!p.module.empty()) {
        why = "module-path= is given twice (vardek refuses such a URI)";
        return std::nullopt;
      }
      auto value = decode(n, v, why);
      if (!value) return std::nullopt;
      if (value->empty()) {
        why = "module-path= is empty";
        return std::nullopt;
      }
      p.module = *value;
    } else if (n == "pin-value") {
      p.warnings.push_back(
          "pin-value= is not used: vardek takes the PIN the client sends (--pin-file, "
          "--pin-env or the prompt)");
    } else if (contains(query_known, n)) {
      p.warnings.push_back(n + "= is ignored by vardek");
    } else if (contains(path_honoured, n) || contains(path_ignored, n)) {
      p.warnings.push_back(n +
                           "= belongs in the path, before \"?\"; in the query vardek "
                           "ignores it");
    } else {
      unknown(n, "query");
    }
  }
  return p;
}

}  // namespace vardek::client
