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
  opt_all_tokens,
  opt_final_try,
  opt_pin,
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
    {"all-tokens", no_argument, nullptr, opt_all_tokens},
    {"final-try", no_argument, nullptr, opt_final_try},
    {"pin", optional_argument, nullptr, opt_pin},
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
         "       vardek-client [options] tokens PROVIDER\n"
         "PROVIDER is a PKCS#11 module path or a pkcs11: URI.\n";
}

const char *help_text() {
  return "\n"
         "commands:\n"
         "  list      the keys vardek offers, as authorized_keys lines\n"
         "  sign      one signature by one key, checked against its public key\n"
         "  check     every key signs a random challenge, each signature is verified\n"
         "  tokens    the module's slots and tokens, their flags and objects, and which\n"
         "            ones the PROVIDER selects (read-only: no vardek, no PIN)\n"
         "options:\n"
         "  --pin-file FILE  read the PIN from the first line of FILE\n"
         "  --pin-env VAR    read the PIN from environment variable VAR\n"
         "  --no-pin         send no PIN (without a PIN source the client asks on a\n"
         "                   terminal, else sends none)\n"
         "  --all-tokens     send the PIN although the provider selects several tokens\n"
         "                   that need a login (each wrong try costs each a retry)\n"
         "  --final-try      send the PIN to a token on its final try or locked\n"
         "  --key FP|N       sign: the key, by fingerprint or by its number in list\n"
         "  --in FILE        sign: the data to sign (- for standard input)\n"
         "  --alg ALG        sign: rsa-sha2-256 or rsa-sha2-512 for RSA keys\n"
         "  --json           one JSON object on standard output\n"
         "  --vardek PATH    the vardek to start (default: the one installed beside)\n"
         "  -v               show vardek's log with CKR_ names and token flags in words\n"
         "                   (-vv also its reference-count lines; more -v, more log)\n"
         "  -h, --help       this text;  --version  the version\n"
         "exit status: 0 ok, 1 usage, 2 provider or vardek failed, 3 a signature failed\n";
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
      case opt_all_tokens:
        o.all_tokens = true;
        break;
      case opt_final_try:
        o.final_try = true;
        break;
      case opt_pin:
        why =
            "there is no --pin option: a PIN on the command line is visible to every user "
            "of the machine; use --pin-file FILE or --pin-env VAR, or run on a terminal to "
            "be asked";
        return ParseResult::error;
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
      default: {
        std::string a = argv[optind - 1];
        why = "unknown option " + a;
        if (a.starts_with("--pin") || a == "-p")
          why +=
              " (give the PIN with --pin-file FILE or --pin-env VAR, or run on a terminal "
              "to be asked)";
        return ParseResult::error;
      }
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
  } else if (cmd == "tokens") {
    o.command = Command::tokens;
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
