// vardek-client tokens: the module's slots and tokens as the client's own
// read-only view sees them, and which of them the provider selects. No
// vardek, no PIN.
#include <cstdio>

#include "client/commands.h"
#include "client/p11names.h"
#include "client/p11view.h"
#include "client/provider.h"
#include "client/textout.h"
#include "client/uri.h"

namespace vardek::client {

namespace {

const char *class_name(CK_OBJECT_CLASS c) {
  return c == CKO_CERTIFICATE ? "certificate" : c == CKO_PRIVATE_KEY ? "private key" : "public key";
}

std::string object_json(const ObjectView &o) {
  std::string s = "{\"class\":" + json_string(class_name(o.cls)) +
                  ",\"label\":" + json_string(o.label) + ",\"id\":" + json_string(hex(o.id)) +
                  ",\"kind\":" + json_string(o.kind);
  if (!o.problem.empty()) s += ",\"problem\":" + json_string(o.problem);
  return s + "}";
}

}  // namespace

int run_tokens(const Options &o) {
  std::string why;
  auto name = parse_provider(o.provider, why);
  if (!name) {
    report_failure(o, "usage", o.provider + ": " + why);
    return exit_usage;
  }
  for (const auto &w : name->warnings) warn(o.provider + ": " + w);
  std::string module = module_for(*name, default_module());
  auto view = view_module(module, true, why);
  if (!view) {
    std::string hint = why.starts_with("C_") ? module_service_hint(module) : "";
    report_failure(o, "module-failed", module + ": " + why + (hint.empty() ? "" : ". " + hint));
    return exit_provider;
  }
  auto selected = selected_tokens(*view, *name);
  auto is_selected = [&](const TokenView &t) {
    for (const auto *s : selected)
      if (s == &t) return true;
    return false;
  };
  if (o.json) {
    std::string out = "{\"provider\":" + json_string(o.provider) +
                      ",\"module\":" + json_string(module) +
                      ",\"manufacturer\":" + json_string(view->manufacturer) +
                      ",\"description\":" + json_string(view->description) + ",\"slots\":[";
    bool first = true;
    for (const auto &t : view->slots) {
      out += std::string(first ? "" : ",") + "{\"slot\":" + std::to_string(t.slot_id) +
             ",\"description\":" + json_string(t.slot_description) +
             ",\"token_present\":" + (t.present ? "true" : "false");
      first = false;
      if (t.present) {
        out += ",\"label\":" + json_string(t.label) +
               ",\"manufacturer\":" + json_string(t.manufacturer) +
               ",\"model\":" + json_string(t.model) + ",\"serial\":" + json_string(t.serial) +
               ",\"flags\":" + std::to_string(t.flags) +
               ",\"flag_words\":" + json_string(token_flag_words(t.flags)) +
               ",\"selected\":" + (is_selected(t) ? "true" : "false") + ",\"objects\":[";
        for (size_t i = 0; i < t.objects.size(); i++)
          out += (i ? "," : "") + object_json(t.objects[i]);
        out += "]";
      }
      out += "}";
    }
    printf("%s]}\n", out.c_str());
    return exit_ok;
  }
  printf("module %s: %s, %s\n", printable(module).c_str(), printable(view->manufacturer).c_str(),
         printable(view->description).c_str());
  if (view->slots.empty()) {
    std::string hint = module_service_hint(module);
    printf("no slots%s%s\n", hint.empty() ? "" : ": ", printable(hint).c_str());
  }
  for (const auto &t : view->slots) {
    printf("slot %lu %s\n", static_cast<unsigned long>(t.slot_id),
           printable(t.slot_description).c_str());
    if (!t.present) {
      printf("  no token\n");
      continue;
    }
    const char *sel = is_selected(t) ? "selected"
                      : !t.initialised()
                          ? "not selected: vardek skips tokens that are not initialised"
                          : "not selected by the URI";
    printf("  token \"%s\" (%s)\n", printable(t.label).c_str(), sel);
    printf("  manufacturer %s, model %s, serial %s\n", printable(t.manufacturer).c_str(),
           printable(t.model).c_str(), printable(t.serial).c_str());
    printf("  flags: %s\n", token_flag_words(t.flags).c_str());
    if (!t.objects_why.empty()) printf("  objects: %s\n", t.objects_why.c_str());
    for (const auto &ob : t.objects) {
      printf("  %-11s %-10s id=%s \"%s\"\n", class_name(ob.cls), printable(ob.kind).c_str(),
             ob.id.empty() ? "(empty)" : hex(ob.id).c_str(), printable(ob.label).c_str());
      if (!ob.problem.empty()) printf("    cannot be used: %s\n", printable(ob.problem).c_str());
    }
    if (t.objects_read && t.login_required() && t.count(CKO_PRIVATE_KEY) == 0)
      printf("  (private objects are not visible without a login)\n");
  }
  return exit_ok;
}

}  // namespace vardek::client
