// Throwaway SoftHSM2 tokens for tests: runs tools/mktoken.sh into a fresh
// temporary directory and points SOFTHSM2_CONF at it.
//
//   auto tok = vardek::test::SoftHsm::make({"--token", "t1", "--key", "rsa2048:k1:01"});
//   ASSERT_TRUE(tok) << vardek::test::SoftHsm::last_error();
//   pkcs11_add_provider(tok->module.c_str(), "1234", &keys, &labels);
//   tok->path("k1.pub.pem")  // the public key mktoken.sh wrote
//
// The script is found through the environment variable VARDEK_MKTOKEN, else
// at VARDEK_SOURCE_DIR/tools/mktoken.sh (a compile definition of the test
// targets). The directory is removed when the object goes away; SOFTHSM2_CONF
// is left set (the next token replaces it).
#ifndef VARDEK_TESTS_COMMON_SOFTHSM_H
#define VARDEK_TESTS_COMMON_SOFTHSM_H

#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vardek::test {

class SoftHsm {
 public:
  std::string dir;     // the token directory
  std::string conf;    // dir/softhsm2.conf
  std::string module;  // path of libsofthsm2.so
  std::string output;  // everything the script printed on standard output

  SoftHsm(const SoftHsm &) = delete;
  SoftHsm &operator=(const SoftHsm &) = delete;
  ~SoftHsm() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  // A file the script wrote, e.g. "k1.pub.pem".
  std::string path(const std::string &name) const { return dir + "/" + name; }

  // Runs the script with `args` (the directory is appended). Returns null on
  // failure; last_error() then says why.
  static std::unique_ptr<SoftHsm> make(const std::vector<std::string> &args) {
    std::string tmpl = temp_root() + "/vardek-token-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
      error() = "mkdtemp failed";
      return nullptr;
    }
    std::unique_ptr<SoftHsm> t(new SoftHsm(buf.data()));
    if (!t->run(args, false)) return nullptr;
    return t;
  }

  // Runs the script again on this directory to add tokens or objects.
  bool add(const std::vector<std::string> &args) { return run(args, true); }

  // Path of the SoftHSM2 module as the script finds it, or "" when none.
  static std::string find_module() {
    std::string cmd = quote(script()) + " --module 2>/dev/null";
    std::string out;
    if (!capture(cmd, out)) return "";
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
  }

  static std::string script() {
    if (const char *e = getenv("VARDEK_MKTOKEN"); e != nullptr && *e != '\0') return e;
#ifdef VARDEK_SOURCE_DIR
    return std::string(VARDEK_SOURCE_DIR) + "/tools/mktoken.sh";
#else
    return "tools/mktoken.sh";
#endif
  }

  static const std::string &last_error() { return error(); }

 private:
  explicit SoftHsm(std::string d) : dir(std::move(d)), conf(dir + "/softhsm2.conf") {}

  static std::string &error() {
    static std::string e;
    return e;
  }

  static std::string temp_root() {
    const char *t = getenv("TMPDIR");
    return (t != nullptr && *t != '\0') ? t : "/tmp";
  }

  static std::string quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) {
      if (c == '\'')
        q += "'\\''";
      else
        q += c;
    }
    return q + "'";
  }

  static bool capture(const std::string &cmd, std::string &out) {
    FILE *f = popen(cmd.c_str(), "r");
    if (f == nullptr) return false;
    char chunk[512];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) out.append(chunk, n);
    int st = pclose(f);
    return st != -1 && WIFEXITED(st) && WEXITSTATUS(st) == 0;
  }

  bool run(const std::vector<std::string> &args, bool again) {
    std::string log = dir + "/mktoken.log";
    std::string cmd = quote(script());
    for (const auto &a : args) cmd += " " + quote(a);
    cmd += " " + quote(dir) + " 2>>" + quote(log);
    std::string out;
    if (!capture(cmd, out)) {
      error() = "mktoken.sh failed: " + cmd + " (see " + log + ")";
      return false;
    }
    output += out;
    if (!again) {
      size_t p = output.find("MODULE=");
      if (p != std::string::npos) {
        size_t e = output.find('\n', p);
        module = output.substr(p + 7, e == std::string::npos ? e : e - p - 7);
      }
    }
    setenv("SOFTHSM2_CONF", conf.c_str(), 1);
    return true;
  }
};

}  // namespace vardek::test

#endif
