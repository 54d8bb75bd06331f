// pkcs11: URIs (RFC 7512): parsing into a pkcs11_uri record and formatting a
// record back into the canonical text that serves as a provider's identity.
#include "pkcs11/ssh-pkcs11-uri.h"

#include <strings.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "buffer/sshbuf-ptr.h"
#include "buffer/sshbuf.h"
#include "log/log.h"
#include "util/deleters.h"
#include "util/wipe.h"

namespace {

constexpr char kScheme[] = "pkcs11:";
constexpr size_t kSchemeLen = sizeof kScheme - 1;

// Attribute table; the position is the attribute's kind.
enum uri_attr : int {
  PKCS11_URI_ID,
  PKCS11_URI_TOKEN,
  PKCS11_URI_OBJECT,
  PKCS11_URI_LIB_MANUF,
  PKCS11_URI_MANUF,
  PKCS11_URI_MODULE_PATH,
  PKCS11_URI_PIN,
  PKCS11_URI_NONE,
};

constexpr const char *kAttrNames[] = {
    "id", "token", "object", "library-manufacturer", "manufacturer", "module-path", "pin-value",
};
static_assert(sizeof kAttrNames / sizeof kAttrNames[0] == PKCS11_URI_NONE);

constexpr char kPathAllowed[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-.()";
constexpr char kModulePathAllowed[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-.()/";

// Every message of the parser carries its public name, also when it comes
// from one of the helpers below.
// Finds the attribute whose name starts `piece` (case-insensitive, only the
// name's own length is compared). A piece that is the bare name, with no
// character left for the "=" and the value, matches nothing: its value would
// start past the end of the text.
uri_attr match_attr(const char *piece) {
  for (int i = 0; i < PKCS11_URI_NONE; i++) {
    size_t n = strlen(kAttrNames[i]);
    if (strncasecmp(piece, kAttrNames[i], n) == 0)
      return piece[n] == '\0' ? PKCS11_URI_NONE : static_cast<uri_attr>(i);
  }
  return PKCS11_URI_NONE;
}

// The value of a matched piece: one character past the name (that
// character is taken to be "=").
const char *attr_value(const char *piece, uri_attr attr) {
  return piece + strlen(kAttrNames[attr]) + 1;
}

// Record field that holds a text attribute, or null for the others.
char **text_field(pkcs11_uri *pkcs11, uri_attr attr) {
  switch (attr) {
    case PKCS11_URI_TOKEN:
      return &pkcs11->token_label;
    case PKCS11_URI_OBJECT:
      return &pkcs11->object_label;
    case PKCS11_URI_LIB_MANUF:
      return &pkcs11->library_manufacturer;
    case PKCS11_URI_MANUF:
      return &pkcs11->manufacturer;
    case PKCS11_URI_MODULE_PATH:
      return &pkcs11->module_path;
    case PKCS11_URI_PIN:
      return &pkcs11->pin_value;
    default:
      return nullptr;
  }
}

const char *or_null_text(const char *s) { return s != nullptr ? s : "(null)"; }

// One ";"-separated piece of the path. 0 or -1.
int parse_path_piece(pkcs11_uri *pkcs11, char *piece) {
  uri_attr attr = match_attr(piece);
  if (attr == PKCS11_URI_NONE || attr == PKCS11_URI_MODULE_PATH || attr == PKCS11_URI_PIN) {
    log_as("pkcs11_uri_parse", {.level = SSHLOG_VERBOSE, .show_func = true},
           "Unknown part of path in PKCS#11 URI: %s", piece);
    return 0;
  }
  const char *value = attr_value(piece, attr);
  if (attr == PKCS11_URI_ID) {
    if (pkcs11->id != nullptr) {
      log_as("pkcs11_uri_parse", {.level = SSHLOG_VERBOSE, .show_func = true},
             "The id already set in the PKCS#11 URI");
      return -1;
    }
    char *id = nullptr;
    int len = percent_decode(value, &id);
    if (len <= 0) {
      free(id);
      log_as("pkcs11_uri_parse", {.level = SSHLOG_VERBOSE, .show_func = true},
             "Failed to percent-decode CKA_ID: %s", value);
      return -1;
    }
    pkcs11->id = reinterpret_cast<unsigned char *>(id);
    pkcs11->id_length = static_cast<size_t>(len);
    log_as("pkcs11_uri_parse", {.level = SSHLOG_DEBUG3, .show_func = true},
           "Setting CKA_ID = %s from PKCS#11 URI", value);
    return 0;
  }
  char **field = text_field(pkcs11, attr);
  if (*field != nullptr) {
    log_as("pkcs11_uri_parse", {.level = SSHLOG_VERBOSE, .show_func = true},
           "The %s already set in the PKCS#11 URI", kAttrNames[attr]);
    return -1;
  }
  // A value that does not decode leaves the field unset; not an error.
  (void)percent_decode(value, field);
  log_as("pkcs11_uri_parse", {.level = SSHLOG_DEBUG3, .show_func = true},
         "Setting %s = %s from PKCS#11 URI", kAttrNames[attr], or_null_text(*field));
  return 0;
}

// One "&"-separated piece of the query. 0 or -1.
int parse_query_piece(pkcs11_uri *pkcs11, char *piece) {
  uri_attr attr = match_attr(piece);
  if (attr == PKCS11_URI_MODULE_PATH) {
    if (pkcs11->module_path != nullptr) {
      log_as("pkcs11_uri_parse", {.level = SSHLOG_VERBOSE, .show_func = true},
             "Multiple module-path attributes arenot supported the PKCS#11 URI");
      return -1;
    }
    (void)percent_decode(attr_value(piece, attr), &pkcs11->module_path);
    log_as("pkcs11_uri_parse", {.level = SSHLOG_DEBUG3, .show_func = true},
           "Setting PKCS11Provider = %s from PKCS#11 URI", or_null_text(pkcs11->module_path));
    return 0;
  }
  if (attr == PKCS11_URI_PIN) {
    if (pkcs11->pin_value != nullptr) {
      log_as("pkcs11_uri_parse", {.level = SSHLOG_VERBOSE, .show_func = true},
             "Multiple pin-value attributes arenot supported the PKCS#11 URI");
      return -1;
    }
    (void)percent_decode(attr_value(piece, attr), &pkcs11->pin_value);
    log_as("pkcs11_uri_parse", {.level = SSHLOG_DEBUG3, .show_func = true},
           "Setting PIN from PKCS#11 URI");
    return 0;
  }
  log_as("pkcs11_uri_parse", {.level = SSHLOG_VERBOSE, .show_func = true},
         "Unknown part of query in PKCS#11 URI: %s", piece);
  return 0;
}

// Calls `fn` on every non-empty piece of `text` between `sep` characters;
// stops at the first failure. Modifies `text`.
int for_each_piece(pkcs11_uri *pkcs11, char *text, const char *sep,
                   int (*fn)(pkcs11_uri *, char *)) {
  char *save = nullptr;
  for (char *piece = strtok_r(text, sep, &save); piece != nullptr;
       piece = strtok_r(nullptr, sep, &save)) {
    if (fn(pkcs11, piece) != 0) return -1;
  }
  return 0;
}

// Appends `separator`, `name`, "=" and the text held in `value` to `uri`.
// Takes ownership of `uri` and `value` and releases both in every case.
// Returns the new text or null (no value, or no memory).
char *pkcs11_uri_append(char *uri, const char *separator, const char *name, sshbuf *value) {
  vardek::malloc_ptr<char> old(uri);
  vardek::unique_ptr<sshbuf> val(value);
  if (!val) return nullptr;
  char *out = nullptr;
  if (asprintf(&out, "%s%s%s=%s", old ? old.get() : "", old ? separator : "", name,
               reinterpret_cast<const char *>(sshbuf_ptr(val.get()))) < 0)
    return nullptr;
  return out;
}

// Appends one text attribute to the path, if the field is set.
// false when the text could not be built.
bool append_path_text(vardek::malloc_ptr<char> &path, const char *name, const char *field) {
  if (field == nullptr) return true;
  path.reset(pkcs11_uri_append(path.release(), ";", name,
                               percent_encode(field, strlen(field), kPathAllowed)));
  return path != nullptr;
}

}  // namespace

pkcs11_uri *pkcs11_uri_init(void) {
  return static_cast<pkcs11_uri *>(calloc(1, sizeof(pkcs11_uri)));
}

void pkcs11_uri_cleanup(pkcs11_uri *pkcs11) {
  if (pkcs11 == nullptr) return;
  free(pkcs11->id);
  free(pkcs11->module_path);
  free(pkcs11->token_label);
  free(pkcs11->object_label);
  free(pkcs11->library_manufacturer);
  free(pkcs11->manufacturer);
  vardek::clear_free_text(pkcs11->pin_value);
  free(pkcs11);
}

int percent_decode(const char *data, char **outp) {
  size_t len = strlen(data);
  if (len > INT_MAX) return -1;  // the result must fit the return value
  char *out = static_cast<char *>(malloc(len + 1));
  if (out == nullptr) return -1;
  size_t n = 0;
  for (const char *p = data; *p != '\0'; p++, n++) {
    if (*p != '%') {
      out[n] = *p;
      continue;
    }
    // Two more characters, neither of them the end of the text, both
    // consumed by the base-16 conversion.
    if (p[1] == '\0' || p[2] == '\0') {
      free(out);
      return -1;
    }
    char hex[3] = {p[1], p[2], '\0'};
    char *end = nullptr;
    long v = strtol(hex, &end, 16);
    if (end != hex + 2) {
      free(out);
      return -1;
    }
    out[n] = static_cast<char>(v & 0xff);
    p += 2;
  }
  out[n] = '\0';
  *outp = out;
  return static_cast<int>(n);
}

sshbuf *percent_encode(const char *data, size_t length, const char *allow_list) {
  vardek::unique_ptr<sshbuf> b(sshbuf_new());
  if (!b) return nullptr;
  for (size_t i = 0; i < length; i++) {
    const unsigned char c = static_cast<unsigned char>(data[i]);
    int r;
    if (c != '\0' && strchr(allow_list, c) != nullptr) {
      r = sshbuf_put_u8(b.get(), c);
    } else {
      char esc[4];
      (void)snprintf(esc, sizeof esc, "%%%02X", c);  // always 3 characters and a NUL
      r = sshbuf_put(b.get(), esc, 3);
    }
    if (r != 0) return nullptr;
  }
  if (sshbuf_put_u8(b.get(), '\0') != 0) return nullptr;
  return b.release();
}

int pkcs11_uri_parse(const char *uri, pkcs11_uri *pkcs11) {
  if (uri == nullptr || strlen(uri) < kSchemeLen || strncmp(uri, kScheme, kSchemeLen) != 0) {
    log_error_f("The '%s' does not look like PKCS#11 URI", or_null_text(uri));
    return -1;
  }
  if (pkcs11 == nullptr) {
    log_error_f("Bad arguments. The pkcs11 can't be null");
    return -1;
  }
  // The private copy may hold a PIN. Parsing cuts it into pieces, so all of
  // it is wiped before release, not only the text up to its first NUL.
  const size_t copy_size = strlen(uri) + 1;
  char *copy = strdup(uri);
  if (copy == nullptr) return -1;
  vardek::scope_exit release_copy([copy, copy_size] {
    explicit_bzero(copy, copy_size);
    free(copy);
  });

  // Path: everything before the first "?". Query: the next run of
  // characters other than "?"; anything from a further "?" on is ignored.
  char *path = copy + kSchemeLen;
  char *query = nullptr;
  char *q = strchr(path, '?');
  if (q != nullptr) {
    *q++ = '\0';
    while (*q == '?') q++;
    if (*q != '\0') {
      query = q;
      q = strchr(q, '?');
      if (q != nullptr) *q = '\0';
    }
  }
  if (for_each_piece(pkcs11, path, ";", parse_path_piece) != 0) return -1;
  if (query != nullptr && for_each_piece(pkcs11, query, "&", parse_query_piece) != 0) return -1;
  return 0;
}

char *pkcs11_uri_get(const pkcs11_uri *pkcs11) {
  if (pkcs11 == nullptr) return nullptr;
  vardek::malloc_ptr<char> path;
  vardek::malloc_ptr<char> query;

  if (pkcs11->id_length > 0) {
    path.reset(pkcs11_uri_append(
        nullptr, ";", "id",
        percent_encode(reinterpret_cast<const char *>(pkcs11->id), pkcs11->id_length, "")));
    if (!path) return nullptr;
  }
  if (!append_path_text(path, "object", pkcs11->object_label) ||
      !append_path_text(path, "token", pkcs11->token_label) ||
      !append_path_text(path, "manufacturer", pkcs11->manufacturer))
    return nullptr;
  if (pkcs11->module_path != nullptr) {
    query.reset(pkcs11_uri_append(
        nullptr, "&", "module-path",
        percent_encode(pkcs11->module_path, strlen(pkcs11->module_path), kModulePathAllowed)));
    if (!query) return nullptr;
  }
  char *out = nullptr;
  if (asprintf(&out, "pkcs11:%s%s%s", path ? path.get() : "", query ? "?" : "",
               query ? query.get() : "") < 0)
    return nullptr;
  return out;
}
