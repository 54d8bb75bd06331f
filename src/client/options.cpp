#include "client/options.h"

#include <getopt.h>

namespace vardek::client {

namespace {

enum : int {
  opt_pin_file = 256,
  opt_pin_env,
  opt_no_pin,
  opt_vardek,
  opt_json,
  opt_key,
  opt_in,
  opt_alg,
  opt_version,
};

const struct option long_options[] = {
    {"pin-file", required_argument, nullptr, opt_pin_file},
    {"pin-env", required_argument, nullptr, opt_pin_env},
    {"no-pin", no_argument, nullptr, opt_no_pin},
    {"vardek", required_argument, nullptr, opt_vardek},
    {"verbose", no_argument, nullptr, 'v'},
    {"json", no_argument, nullptr, opt_json},
    {"key", required_argument, nullptr, opt_key},
    {"in", required_argument, nullptr, opt_in},
    {"alg", required_argument, nullptr, opt_alg},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, opt_version},
    {nullptr, 0, nullptr, 0},
};

bool set_once(std::string &field, const char *value, const char *name, std::string &why) {
  if (!field.empty()) {
    why = std::string("--") + name + " given twice";
    return false;
  }
  if (*value == '\0') {
    why = std::string("--") + name + " needs a non-empty value";
    return false;
  }
  field = value;
  return true;
}

}  // namespace

const char *usage_text() {
  return "usage: vardek-client [options] list PROVIDER\n"
         "       vardek-client [options] sign PROVIDER --key FINGERPRINT|N --in FILE\n"
         "                     [--alg rsa-sha2-256|rsa-sha2-512]\n"
         "       vardek-client [options] check PROVIDER\n"
         "options: --pin-file FILE | --pin-env VAR | --no-pin, --vardek PATH, -v, --json\n";
}

ParseResult parse_options(int argc, char **argv, Options &o, std::string &why) {
  optind = 1;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":vh", long_options, nullptr)) != -1) {
    bool ok = true;
    switch (c) {
      case 'v':
        o.verbose++;
        break;
      case 'h':
        return ParseResult::help;
      case opt_version:
        return ParseResult::version;
      case opt_pin_file:
        ok = set_once(o.pin.file, optarg, "pin-file", why);
        break;
      case opt_pin_env:
        ok = set_once(o.pin.env, optarg, "pin-env", why);
        break;
      case opt_no_pin:
        o.pin.none = true;
        break;
      case opt_vardek:
        ok = set_once(o.vardek, optarg, "vardek", why);
        break;
      case opt_json:
        o.json = true;
        break;
      case opt_key:
        ok = set_once(o.key, optarg, "key", why);
        break;
      case opt_in:
        ok = set_once(o.in, optarg, "in", why);
        break;
      case opt_alg:
        ok = set_once(o.alg, optarg, "alg", why);
        break;
      case ':':
        why = std::string("option ") + argv[optind - 1] + " needs a value";
        return ParseResult::error;
      default:
        why = std::string("unknown option ") + argv[optind - 1];
        return ParseResult::error;
    }
    if (!ok) return ParseResult::error;
  }
  int rest = argc - optind;
  if (rest < 1) {
    why = "no command given";
    return ParseResult::error;
  }
  std::string cmd = argv[optind];
  if (cmd == "list") {
    o.command = Command::list;
  } else if (cmd == "sign") {
    o.command = Command::sign;
  } else if (cmd == "check") {
    o.command = Command::check;
  } else {
    why = "unknown command \"" + cmd + "\"";
    return ParseResult::error;
  }
  if (rest != 2) {
    why = rest < 2 ? "no PROVIDER given" : "too many arguments";
    return ParseResult::error;
  }
  o.provider = argv[optind + 1];
  if (o.provider.empty()) {
    why = "PROVIDER is empty";
    return ParseResult::error;
  }
  int sources = !o.pin.file.empty() + !o.pin.env.empty() + o.pin.none;
  if (sources > 1) {
    why = "give only one of --pin-file, --pin-env and --no-pin";
    return ParseResult::error;
  }
  if (o.command == Command::sign) {
    if (o.key.empty() || o.in.empty()) {
      why = "sign needs --key and --in";
      return ParseResult::error;
    }
    if (!o.alg.empty() && o.alg != "rsa-sha2-256" && o.alg != "rsa-sha2-512") {
      why = "--alg must be rsa-sha2-256 or rsa-sha2-512";
      return ParseResult::error;
    }
  } else if (!o.key.empty() || !o.in.empty() || !o.alg.empty()) {
    why = "--key, --in and --alg belong to the sign command";
    return ParseResult::error;
  }
  return ParseResult::ok;
}

}  // namespace vardek::client
