#include "client/provider.h"

#include <unistd.h>

#include <cstdio>

#include "agentproto/locate.h"
#include "client/commands.h"
#include "client/explain.h"
#include "client/p11names.h"
#include "client/pin.h"
#include "client/textout.h"

#ifndef VARDEK_DEFAULT_MODULE
#define VARDEK_DEFAULT_MODULE "/usr/lib64/p11-kit-proxy.so"
#endif

namespace vardek::client {

namespace {

std::string quoted(const std::string &s) { return "\"" + printable(s) + "\""; }

std::string join(const std::vector<std::string> &v, const char *sep) {
  std::string s;
  for (const auto &x : v) s += (s.empty() ? "" : sep) + x;
  return s;
}

bool is_proxy(const std::string &module) {
  return module.find("p11-kit-proxy") != std::string::npos || module == default_module();
}

// The view's object whose public blob is `blob`, on token `t`.
const ObjectView *find_blob(const TokenView &t, const Bytes &blob) {
  for (const auto &o : t.objects)
    if (!o.blob.empty() && o.blob == blob) return &o;
  return nullptr;
}

// A private key of `t` with the id `id` whose own attributes say it cannot
// sign; nullptr when none is visible.
const ObjectView *unusable_private(const TokenView &t, const Bytes &id) {
  for (const auto &o : t.objects)
    if (o.cls == CKO_PRIVATE_KEY && o.id == id && (o.sign == 0 || o.always_auth == 1)) return &o;
  return nullptr;
}

std::string describe_object(const ObjectView &o) {
  const char *cls = o.cls == CKO_CERTIFICATE   ? "certificate"
                    : o.cls == CKO_PRIVATE_KEY ? "private key"
                                               : "public key";
  std::string s = std::string(cls) + " " + quoted(o.label);
  if (!o.id.empty()) s += " (CKA_ID " + hex(o.id) + ")";
  return s;
}

bool log_has(const std::vector<std::string> &log, size_t from, const std::string &what) {
  for (size_t i = from; i < log.size(); i++)
    if (log[i].find(what) != std::string::npos) return true;
  return false;
}

// The CKR_ name in a "WHAT failed...: N" line, or "".
std::string failed_rv(const std::string &line, const std::string &what) {
  size_t p = line.find(what + " failed");
  if (p == std::string::npos || (p > 0 && line[p - 1] != ' ' && line[p - 1] != ':')) return "";
  size_t c = line.rfind(": ");
  if (c == std::string::npos || c < p) return "";
  std::string num = line.substr(c + 2);
  if (num.empty() || num.size() > 12 || num.find_first_not_of("0123456789") != std::string::npos)
    return "";
  return rv_name(std::stoul(num));
}

// The CKR_ name of the first "WHAT failed...: N" line since `from`, or "".
std::string logged_rv(const std::vector<std::string> &log, size_t from, const std::string &what) {
  for (size_t i = from; i < log.size(); i++)
    if (auto rv = failed_rv(log[i], what); !rv.empty()) return rv;
  return "";
}

// What vardek's log says of the login on the token labelled `label`: the
// CKR_ name of a failed C_Login, "no PIN" for "pin required", or "". Its
// debug1 line "provider ... slot N: label <L> ..." starts each token's part.
std::string login_outcome(const std::vector<std::string> &log, const std::string &label) {
  bool in = false;
  for (const auto &l : log) {
    if (l.find(" slot ") != std::string::npos && l.find(": label <") != std::string::npos) {
      size_t a = l.find(": label <") + 9;
      size_t b = l.find("> manufacturerID <", a);
      in = b != std::string::npos && l.substr(a, b - a) == label;
      continue;
    }
    if (!in) continue;
    if (l.find("pin required") != std::string::npos) return "no PIN";
    if (auto rv = failed_rv(l, "C_Login"); !rv.empty()) return rv;
  }
  return "";
}

}  // namespace

const char *default_module() { return VARDEK_DEFAULT_MODULE; }

void report_failure(const Options &o, const std::string &code, const std::string &message) {
  (void)fprintf(stderr, "vardek-client: %s\n", printable(message).c_str());
  if (o.json)
    printf("{\"provider\":%s,\"status\":%s,\"message\":%s}\n", json_string(o.provider).c_str(),
           json_string(code).c_str(), json_string(message).c_str());
}

void warn(const std::string &message) {
  (void)fprintf(stderr, "vardek-client: warning: %s\n", printable(message).c_str());
}

std::vector<const TokenView *> selected_tokens(const ModuleView &view, const ProviderName &name) {
  std::vector<const TokenView *> v;
  for (const auto &t : view.slots) {
    if (!t.present || !t.initialised()) continue;
    if (name.token && *name.token != t.label) continue;
    if (name.manufacturer && *name.manufacturer != t.manufacturer) continue;
    v.push_back(&t);
  }
  return v;
}

std::string OpenProvider::token_uri(const std::string &label) const {
  std::string u = "pkcs11:token=" + percent_text(label);
  if (!name_->module.empty()) u += "?module-path=" + name_->module;
  return u;
}

// Everything the client can tell before a PIN is sent. 0 to go on.
int OpenProvider::preflight() {
  std::string why;
  name_ = parse_provider(o_.provider, why);
  if (!name_) {
    report_failure(o_, "usage", o_.provider + ": " + why);
    return exit_usage;
  }
  for (const auto &w : name_->warnings) warn(o_.provider + ": " + w);
  module_ = module_for(*name_, default_module());
  view_ = view_module(module_, true, view_why_);
  if (!view_) return exit_ok;  // vardek gets to try; the refusal is explained after

  if (name_->library_manufacturer && *name_->library_manufacturer != view_->manufacturer)
    warn("library-manufacturer=" + *name_->library_manufacturer + " does not match " + module_ +
         ", whose manufacturer is " + quoted(view_->manufacturer) + "; vardek will refuse it" +
         (is_proxy(module_)
              ? " (through the p11-kit proxy the manufacturer is the proxy's, not the "
                "module's behind it: name the module with ?module-path= instead)"
              : ""));
  selected_ = selected_tokens(*view_, *name_);

  // Attributes vardek ignores: say when they would have told tokens apart.
  if ((name_->serial || name_->model) && selected_.size() > 1) {
    std::vector<std::string> which;
    for (const auto *t : selected_)
      which.push_back(quoted(t->label) + " (serial " + printable(t->serial) + ")");
    warn("vardek selects all " + std::to_string(selected_.size()) +
         " tokens: " + join(which, ", ") + "; serial= and model= do not narrow it");
  }
  if (name_->object) {
    bool found = false;
    for (const auto *t : selected_)
      for (const auto &ob : t->objects)
        if (ob.label == *name_->object) found = true;
    bool hidden = false;
    for (const auto *t : selected_)
      if (t->login_required()) hidden = true;
    if (!found && !selected_.empty())
      warn("no object labelled " + quoted(*name_->object) + " is visible on the selected token" +
           (selected_.size() > 1 ? "s" : "") +
           "; when none matches, vardek offers every key of the token" +
           (hidden ? " (objects that need a login are not visible to the client's read-only "
                     "view, so it may still exist)"
                   : ""));
  }

  bool pin_to_send =
      !o_.pin.none && (!o_.pin.file.empty() || !o_.pin.env.empty() || isatty(STDIN_FILENO));
  if (!pin_to_send) return exit_ok;
  std::vector<std::string> logins;
  for (const auto *t : selected_)
    if (t->login_required()) logins.push_back(t->label);
  if (logins.size() > 1 && !o_.all_tokens) {
    std::vector<std::string> names;
    names.reserve(logins.size());
    for (const auto &l : logins) names.push_back(printable(l));
    report_failure(o_, "several-tokens",
                   o_.provider + ": the PIN would be tried on " + std::to_string(logins.size()) +
                       " tokens: " + join(names, ", ") +
                       "; each wrong try counts against that token's retries. The PIN was not "
                       "sent. To select one: " +
                       token_uri(logins[0]) + " (or pass --all-tokens to try the one PIN on each)");
    return exit_usage;
  }
  for (const auto *t : selected_) {
    if (!t->login_required() || o_.final_try) continue;
    if ((t->flags & CKF_USER_PIN_LOCKED) != 0) {
      report_failure(o_, "pin-locked",
                     o_.provider + ": token " + quoted(t->label) +
                         " has its user PIN locked: no PIN can log in until it is unlocked "
                         "with the security officer PIN. The PIN was not sent (--final-try "
                         "sends it anyway).");
      return exit_provider;
    }
    if ((t->flags & CKF_USER_PIN_FINAL_TRY) != 0) {
      report_failure(o_, "pin-final-try",
                     o_.provider + ": token " + quoted(t->label) +
                         " is on its final PIN try: one more wrong PIN locks it. The PIN was "
                         "not sent; check it, then pass --final-try to send it.");
      return exit_usage;
    }
  }
  for (const auto *t : selected_) {
    if (!t->login_required()) continue;
    if ((t->flags & CKF_USER_PIN_COUNT_LOW) != 0)
      warn("token " + quoted(t->label) +
           ": user PIN count low (a wrong PIN was given since the last good login)");
    if ((t->flags & CKF_USER_PIN_TO_BE_CHANGED) != 0)
      warn("token " + quoted(t->label) +
           ": the user PIN is marked to be changed; the token may refuse a login until it is");
  }
  return exit_ok;
}

void OpenProvider::attribute_keys() {
  if (!view_) return;
  for (auto &k : keys_) {
    for (const auto *t : selected_) {
      const ObjectView *o = find_blob(*t, k.identity.blob);
      if (o == nullptr) continue;
      k.token = t->label;
      k.id = o->id;
      std::string u = "pkcs11:token=" + percent_text(t->label);
      u += o->id.empty() ? ";object=" + percent_text(o->label) : ";id=" + percent_all(o->id);
      if (!name_->module.empty()) u += "?module-path=" + name_->module;
      k.uri = u;
      if (const ObjectView *p = unusable_private(*t, o->id)) k.cannot_sign = p->problem;
      break;
    }
  }
}

void OpenProvider::explain_tokens_without_keys(bool pin_sent) {
  if (!view_) return;
  for (const auto *t : selected_) {
    for (const auto &o : t->objects)
      if (!o.problem.empty())
        warn("token " + quoted(t->label) + ": " + describe_object(o) + ": " + o.problem);
    bool any = false;
    for (const auto &k : keys_)
      if (k.token == t->label) any = true;
    // Keys the view could not place may be this token's.
    bool unplaced = false;
    for (const auto &k : keys_)
      if (k.token.empty()) unplaced = true;
    if (any || unplaced) continue;
    std::string why;
    const auto &log = session_->log();
    if (t->login_required() && !pin_sent) {
      why = "it needs a login and no PIN was given";
    } else if ((t->flags & CKF_USER_PIN_LOCKED) != 0) {
      why = "its user PIN is locked";
    } else if (std::string rv = login_outcome(log, t->label); !rv.empty()) {
      why = rv == "CKR_PIN_LOCKED" ? "its user PIN is locked (CKR_PIN_LOCKED)"
                                   : "the PIN was rejected (" + rv + ")";
    } else if (t->objects_read) {
      size_t usable = 0;
      for (const auto &o : t->objects)
        if (!o.blob.empty() && o.problem.empty()) usable++;
      why = usable == 0 && !t->login_required() ? "it holds no supported keys"
                                                : "it yielded no supported keys";
    } else {
      why = "its objects are not visible without a login";
    }
    warn("token " + quoted(t->label) + " (slot " + std::to_string(t->slot_id) +
         ") yielded no keys: " + why);
  }
}

std::string OpenProvider::explain_refusal(uint32_t reason, PinOrigin origin, bool pin_sent) {
  std::string log = session_->log_excerpt(0);
  if (reason == 1) {
    if (!view_) {
      std::string s =
          "the PKCS#11 module " + module_ + " could not be loaded or initialised: " + view_why_;
      std::string hint = view_why_.starts_with("C_") ? module_service_hint(module_) : "";
      if (!hint.empty()) s += ". " + hint;
      return s;
    }
    if (name_->library_manufacturer && *name_->library_manufacturer != view_->manufacturer)
      return "library-manufacturer=" + *name_->library_manufacturer +
             " does not match the module's manufacturer " + quoted(view_->manufacturer) +
             (is_proxy(module_) ? " (through the p11-kit proxy it is the proxy's own)" : "");
  }
  if (reason == 0 && view_) {
    std::vector<std::string> parts;
    if (selected_.empty()) {
      std::vector<std::string> labels;
      for (const auto &t : view_->slots)
        if (t.present && t.initialised()) labels.push_back(quoted(t.label));
      if (!labels.empty())
        parts.push_back("no token matches the URI (tokens: " + join(labels, ", ") + ")");
      for (const auto &t : view_->slots)
        if (labels.empty() && t.present && !t.initialised())
          parts.push_back("slot " + std::to_string(t.slot_id) +
                          " holds a token that is not initialised (vardek skips it; "
                          "initialise it first)");
    }
    const auto &lines = session_->log();
    for (const auto *t : selected_) {
      std::string why;
      if (t->login_required() && !pin_sent) {
        why = "it needs a login and no PIN was given";
        if (origin == PinOrigin::none)
          why += " (use --pin-file or --pin-env, or run on a terminal to be asked)";
        else
          why += " (the PIN is empty)";
      } else if ((t->flags & CKF_USER_PIN_LOCKED) != 0 ||
                 login_outcome(lines, t->label) == "CKR_PIN_LOCKED") {
        why = "its user PIN is locked";
      } else if (std::string rv = login_outcome(lines, t->label); !rv.empty()) {
        why = "the PIN was rejected (" + rv + ")";
        if (origin == PinOrigin::prompt || origin == PinOrigin::file || origin == PinOrigin::env)
          why += "; check the PIN: each wrong try counts against the token's retries";
      } else if (t->objects_read) {
        std::vector<std::string> bad;
        for (const auto &o : t->objects)
          if (!o.problem.empty()) bad.push_back(describe_object(o) + ": " + o.problem);
        why = bad.empty() ? "no supported keys" : "no supported keys; " + join(bad, "; ");
      } else {
        why = "no keys visible to the client without a login";
      }
      parts.push_back("token " + quoted(t->label) + ": " + why);
    }
    if (!parts.empty()) return "no keys: " + join(parts, "; ");
  }
  if (reason == 3) {
    std::string hint = module_service_hint(module_);
    if (!hint.empty()) return "the module reports no slot with a token: " + hint;
  }
  std::string s = explain_add_refusal(reason, origin);
  if (reason == 0 && !pin_sent && origin != PinOrigin::none)
    s = "no keys: the PIN is empty, and a token that needs a login shows no keys without one.";
  if (!log.empty()) s += "\nvardek logged:\n" + log.substr(0, log.size() - 1);
  return s;
}

int OpenProvider::open() {
  if (int st = preflight(); st != exit_ok) return st;
  std::string why;
  std::string path = o_.vardek;
  if (path.empty()) path = agent::vardek_beside_self(why);
  if (path.empty()) {
    why += " (use --vardek PATH)";
    report_failure(o_, "no-vardek", why);
    return exit_provider;
  }
  // No prompt when the view shows that no selected token needs a login.
  PinSource src = o_.pin;
  if (view_ && src.file.empty() && src.env.empty()) {
    bool login = false;
    for (const auto *t : selected_) login = login || t->login_required();
    if (!login) src.none = true;
  }
  Secret pin;
  PinOrigin origin;
  if (!read_pin(src, o_.provider, pin, origin, why)) {
    report_failure(o_, "pin", why);
    return exit_usage;
  }
  bool pin_sent = !pin.empty();
  session_.emplace(path, o_.verbose);
  if (!session_->start(why)) {
    report_failure(o_, "vardek-failed", why);
    return exit_provider;
  }
  AddResult r = session_->add(o_.provider, pin);
  pin.wipe();
  switch (r.kind) {
    case AddResult::Kind::keys:
      added_ = true;
      keys_ = read_token_keys(std::move(r.ids));
      attribute_keys();
      explain_tokens_without_keys(pin_sent);
      return exit_ok;
    case AddResult::Kind::refused:
      report_failure(o_, add_refusal_code(r.reason),
                     o_.provider + ": " + explain_refusal(r.reason, origin, pin_sent));
      return exit_provider;
    case AddResult::Kind::broken:
      break;
  }
  report_failure(o_, "vardek-failed", o_.provider + ": " + r.detail);
  return exit_provider;
}

std::string OpenProvider::sign_refusal(const TokenKey &k, size_t log_from) const {
  const auto &log = session_->log();
  std::string init = logged_rv(log, log_from, "C_SignInit");
  if (init == "CKR_KEY_FUNCTION_NOT_PERMITTED")
    return "the token does not let this key sign (C_SignInit: CKR_KEY_FUNCTION_NOT_PERMITTED; "
           "its private key has CKA_SIGN false)";
  if (log_has(log, log_from, "always-auth"))
    return "the key needs authentication for every signature (CKA_ALWAYS_AUTHENTICATE), and "
           "vardek never asks for a PIN";
  if (!k.cannot_sign.empty()) return "the token refused to sign: " + k.cannot_sign;
  if (!init.empty()) return "the token refused to start the signature (C_SignInit: " + init + ")";
  std::string sign = logged_rv(log, log_from, "C_Sign");
  if (sign == "CKR_USER_NOT_LOGGED_IN")
    return "the token was not logged in (C_Sign: CKR_USER_NOT_LOGGED_IN): give the PIN";
  if (!sign.empty()) return "the token refused to sign (C_Sign: " + sign + ")";
  return explain_sign_refusal();
}

OpenProvider::~OpenProvider() {
  if (!session_) return;
  if (added_ && session_->alive() && !session_->remove(o_.provider) && o_.verbose > 0)
    (void)fprintf(stderr, "vardek-client: vardek did not confirm the removal of the provider\n");
  session_->finish();
}

}  // namespace vardek::client
