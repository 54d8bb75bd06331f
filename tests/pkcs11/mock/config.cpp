// Reader of the mock module's configuration file (format in mock_p11.h).
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "mock_internal.h"

namespace vardek::mock {

namespace {

struct Field {
  std::string key;
  std::string value;  // percent-decoded
  std::string raw;    // as written
};

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool percent_unescape(const std::string &in, std::string &out) {
  out.clear();
  for (size_t i = 0; i < in.size(); i++) {
    if (in[i] != '%') {
      out += in[i];
      continue;
    }
    if (in.size() - i < 3) return false;
    int hi = hex_digit(in[i + 1]), lo = hex_digit(in[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi << 4 | lo);
    i += 2;
  }
  return true;
}

bool parse_hex(const std::string &in, Bytes &out) {
  out.clear();
  int hi = -1;
  for (char c : in) {
    if (c == ':') continue;
    int v = hex_digit(c);
    if (v < 0) return false;
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<uint8_t>(hi << 4 | v));
      hi = -1;
    }
  }
  return hi < 0;
}

bool parse_bool(const std::string &in, bool &out) {
  if (in == "1" || in == "true" || in == "yes") {
    out = true;
    return true;
  }
  if (in == "0" || in == "false" || in == "no") {
    out = false;
    return true;
  }
  return false;
}

bool parse_version(const std::string &in, CK_VERSION &out) {
  unsigned major = 0, minor = 0;
  char tail = 0;
  if (std::sscanf(in.c_str(), "%u.%u%c", &major, &minor, &tail) != 2 || major > 255 || minor > 255)
    return false;
  out.major = static_cast<CK_BYTE>(major);
  out.minor = static_cast<CK_BYTE>(minor);
  return true;
}

bool parse_token_flags(const std::string &in, CK_FLAGS &out) {
  unsigned long n;
  if (parse_number(in, n)) {
    out = n;
    return true;
  }
  out = 0;
  std::stringstream ss(in);
  for (std::string word; std::getline(ss, word, ',');) {
    if (word == "initialized")
      out |= CKF_TOKEN_INITIALIZED;
    else if (word == "login_required")
      out |= CKF_LOGIN_REQUIRED;
    else if (word == "protected_auth")
      out |= CKF_PROTECTED_AUTHENTICATION_PATH;
    else if (word == "user_pin_initialized")
      out |= CKF_USER_PIN_INITIALIZED;
    else if (!word.empty())
      return false;
  }
  return true;
}

// Names for the numbers that appear in object lines.
bool parse_named(const std::string &in, const std::vector<std::pair<const char *, CK_ULONG>> &names,
                 CK_ULONG &out) {
  for (const auto &[name, value] : names) {
    if (in == name) {
      out = value;
      return true;
    }
  }
  unsigned long n;
  if (!parse_number(in, n)) return false;
  out = n;
  return true;
}

std::string directory_of(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string resolve(const std::string &dir, const std::string &file) {
  return !file.empty() && file[0] == '/' ? file : dir + "/" + file;
}

class Reader {
 public:
  Reader(const std::string &path, Config &cfg) : dir_(directory_of(path)), cfg_(cfg) {}

  // Returns an empty text on success, the reason otherwise.
  std::string line(const std::string &word, const std::vector<Field> &fields,
                   const std::vector<std::string> &args) {
    if (word == "library") return library(fields);
    if (word == "slot") return slot(fields);
    if (word == "object") return object(fields);
    if (word == "fail") return fail(args);
    if (word == "getslotlist_count" || word == "ec_sig_len") {
      unsigned long n;
      if (args.size() != 1 || !parse_number(args[0], n)) return word + " needs one number";
      (word == "ec_sig_len" ? cfg_.ec_sig_len : cfg_.getslotlist_count) = static_cast<long>(n);
      return "";
    }
    if (word == "chatter") {
      if (args.size() != 1) return "chatter needs one text";
      std::string text;
      if (!percent_unescape(args[0], text)) return "bad percent escape in chatter";
      cfg_.chatter = text;
      return "";
    }
    if (word == "find_forever") {
      if (!args.empty()) return "find_forever takes no value";
      cfg_.find_forever = true;
      return "";
    }
    if (word == "instant_sign") {
      if (!args.empty()) return "instant_sign takes no value";
      cfg_.instant_sign = true;
      return "";
    }
    return "unknown directive " + word;
  }

 private:
  std::string library(const std::vector<Field> &fields) {
    for (const auto &f : fields) {
      if (f.key == "manufacturer")
        cfg_.manufacturer = f.value;
      else if (f.key == "description")
        cfg_.description = f.value;
      else if (f.key == "cryptoki") {
        if (!parse_version(f.value, cfg_.cryptoki)) return "bad version " + f.value;
      } else if (f.key == "version") {
        if (!parse_version(f.value, cfg_.version)) return "bad version " + f.value;
      } else {
        return "unknown library field " + f.key;
      }
    }
    return "";
  }

  std::string slot(const std::vector<Field> &fields) {
    Slot s;
    bool have_id = false;
    for (const auto &f : fields) {
      if (f.key == "id") {
        unsigned long n;
        if (!parse_number(f.value, n)) return "bad slot id " + f.value;
        s.id = n;
        have_id = true;
      } else if (f.key == "present") {
        if (!parse_bool(f.value, s.present)) return "bad present " + f.value;
      } else if (f.key == "flags") {
        if (!parse_token_flags(f.value, s.flags)) return "bad flags " + f.value;
      } else if (f.key == "label")
        s.label = f.value;
      else if (f.key == "manufacturer")
        s.manufacturer = f.value;
      else if (f.key == "model")
        s.model = f.value;
      else if (f.key == "serial")
        s.serial = f.value;
      else if (f.key == "pin")
        s.pin = f.value;
      else
        return "unknown slot field " + f.key;
    }
    if (!have_id) return "slot without id";
    for (const auto &other : cfg_.slots)
      if (other.id == s.id) return "slot id used twice";
    cfg_.slots.push_back(std::move(s));
    return "";
  }

  std::string object(const std::vector<Field> &fields) {
    if (cfg_.slots.empty()) return "object before any slot";
    static const std::vector<std::pair<const char *, CK_ULONG>> classes = {
        {"data", CKO_DATA},
        {"certificate", CKO_CERTIFICATE},
        {"public", CKO_PUBLIC_KEY},
        {"private", CKO_PRIVATE_KEY},
        {"secret", CKO_SECRET_KEY}};
    static const std::vector<std::pair<const char *, CK_ULONG>> key_types = {
        {"rsa", CKK_RSA}, {"dsa", CKK_DSA}, {"ec", CKK_EC}, {"dh", CKK_DH}};
    static const std::vector<std::pair<const char *, CK_ULONG>> cert_types = {
        {"x509", CKC_X_509}, {"x509_attr", CKC_X_509_ATTR_CERT}, {"wtls", CKC_WTLS}};

    Object o;
    o.handle = ++handles_;
    CK_ULONG cls = CKO_DATA;
    bool have_class = false;
    // Everything but the class is applied after the defaults, in this order:
    // material, plain fields, raw overrides, removals.
    std::vector<const Field *> raw, removals;
    std::string key_file, cert_file;
    for (const auto &f : fields) {
      if (f.key == "class") {
        if (!parse_named(f.value, classes, cls)) return "bad class " + f.value;
        have_class = true;
      }
    }
    if (!have_class) return "object without class";
    const bool is_private_key = cls == CKO_PRIVATE_KEY;
    o.attrs[CKA_CLASS] = ulong_bytes(cls);
    o.attrs[CKA_TOKEN] = bool_bytes(true);
    o.attrs[CKA_PRIVATE] = bool_bytes(is_private_key);
    o.attrs[CKA_ID] = Bytes{};
    o.attrs[CKA_LABEL] = Bytes{};
    if (is_private_key) {
      o.attrs[CKA_SIGN] = bool_bytes(true);
      o.attrs[CKA_ALWAYS_AUTHENTICATE] = bool_bytes(false);
    }
    for (const auto &f : fields) {
      if (f.key == "key")
        key_file = f.value;
      else if (f.key == "cert")
        cert_file = f.value;
    }
    std::string err;
    if (!key_file.empty() && !key_attributes(resolve(dir_, key_file), is_private_key, o, err))
      return err;
    if (!cert_file.empty() && !cert_attributes(resolve(dir_, cert_file), o, err)) return err;
    for (const auto &f : fields) {
      bool b;
      CK_ULONG n;
      Bytes bytes;
      if (f.key == "class" || f.key == "key" || f.key == "cert") {
        continue;
      } else if (f.key == "keytype") {
        if (!parse_named(f.value, key_types, n)) return "bad keytype " + f.value;
        o.attrs[CKA_KEY_TYPE] = ulong_bytes(n);
      } else if (f.key == "certtype") {
        if (!parse_named(f.value, cert_types, n)) return "bad certtype " + f.value;
        o.attrs[CKA_CERTIFICATE_TYPE] = ulong_bytes(n);
      } else if (f.key == "id") {
        if (!parse_hex(f.raw, bytes)) return "bad id hex " + f.raw;
        o.attrs[CKA_ID] = bytes;
      } else if (f.key == "label") {
        o.attrs[CKA_LABEL] = Bytes(f.value.begin(), f.value.end());
      } else if (f.key == "sign" || f.key == "always_auth" || f.key == "private" ||
                 f.key == "token") {
        if (!parse_bool(f.value, b)) return "bad boolean " + f.key + "=" + f.value;
        CK_ATTRIBUTE_TYPE t = f.key == "sign"          ? CKA_SIGN
                              : f.key == "always_auth" ? CKA_ALWAYS_AUTHENTICATE
                              : f.key == "private"     ? CKA_PRIVATE
                                                       : CKA_TOKEN;
        o.attrs[t] = bool_bytes(b);
      } else if (f.key == "small_buffer") {
        if (f.value == "standard")
          o.small_buffer = SmallBuffer::standard;
        else if (f.value == "ok")
          o.small_buffer = SmallBuffer::ok;
        else if (f.value == "unavailable")
          o.small_buffer = SmallBuffer::unavailable;
        else
          return "bad small_buffer " + f.value;
      } else if (f.key.rfind("attr.", 0) == 0) {
        raw.push_back(&f);
      } else if (f.key == "noattr") {
        removals.push_back(&f);
      } else {
        return "unknown object field " + f.key;
      }
    }
    for (const Field *f : raw) {
      CK_ATTRIBUTE_TYPE t;
      Bytes bytes;
      if (!parse_attr_type(f->key.substr(5), t)) return "bad attribute type " + f->key;
      if (!parse_hex(f->raw, bytes)) return "bad hex in " + f->key;
      o.attrs[t] = bytes;
    }
    for (const Field *f : removals) {
      std::stringstream ss(f->value);
      for (std::string name; std::getline(ss, name, ',');) {
        CK_ATTRIBUTE_TYPE t;
        if (!parse_attr_type(name, t)) return "bad attribute type " + name;
        o.attrs.erase(t);
      }
    }
    cfg_.slots.back().objects.push_back(std::move(o));
    return "";
  }

  std::string fail(const std::vector<std::string> &args) {
    if (args.size() != 3) return "fail needs FUNCTION WHEN RV";
    Fault f;
    f.function = args[0];
    if (f.function != "any" && f.function.rfind("C_", 0) != 0)
      return "bad function name " + f.function;
    const std::string &when = args[1];
    if (when == "always") {
      f.when = When::always;
    } else if (when == "size" || when == "data") {
      if (f.function != "C_GetAttributeValue") return when + " applies to C_GetAttributeValue only";
      f.when = when == "size" ? When::size : When::data;
    } else if (when.rfind("from=", 0) == 0) {
      if (!parse_number(when.substr(5), f.n) || f.n == 0) return "bad call number " + when;
      f.when = When::from;
    } else {
      if (!parse_number(when, f.n) || f.n == 0) return "bad call number " + when;
      f.when = When::nth;
    }
    if (!parse_rv(args[2], f.rv)) return "bad return value " + args[2];
    cfg_.faults.push_back(f);
    return "";
  }

  std::string dir_;
  Config &cfg_;
  CK_OBJECT_HANDLE handles_ = 0;
};

}  // namespace

bool load_config(const std::string &path, Config &out, std::string &err) {
  std::ifstream in(path);
  if (!in) {
    err = path + ": cannot open";
    return false;
  }
  Config cfg;
  Reader reader(path, cfg);
  int lineno = 0;
  for (std::string text; std::getline(in, text);) {
    lineno++;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    std::stringstream ss(text);
    std::string word;
    if (!(ss >> word) || word[0] == '#') continue;
    std::vector<Field> fields;
    std::vector<std::string> args;
    std::string reason;
    for (std::string tok; ss >> tok;) {
      args.push_back(tok);
      size_t eq = tok.find('=');
      if (eq == std::string::npos) continue;
      Field f;
      f.key = tok.substr(0, eq);
      f.raw = tok.substr(eq + 1);
      if (!percent_unescape(f.raw, f.value)) {
        reason = "bad percent escape in " + tok;
        break;
      }
      fields.push_back(std::move(f));
    }
    if (reason.empty() && word != "fail" && word != "getslotlist_count" && word != "ec_sig_len" &&
        word != "chatter" && fields.size() != args.size())
      reason = "expected key=value fields";
    if (reason.empty()) reason = reader.line(word, fields, args);
    if (!reason.empty()) {
      err = path + ":" + std::to_string(lineno) + ": " + reason;
      return false;
    }
  }
  out = std::move(cfg);
  return true;
}

}  // namespace vardek::mock
