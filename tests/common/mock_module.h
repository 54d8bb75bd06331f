// A private folder for one test's use of the mock PKCS#11 module (see
// pkcs11/mock/mock_p11.h): the configuration file and the call log live in
// it, and the module's environment variables point at them.
//
//   vardek::test::MockModule mock("vardek-walk");
//   ASSERT_TRUE(mock.ok());
//   mock.configure("slot id=1 label=t\n");  // VARDEK_MOCK_CONFIG
//   mock.log_calls();                        // VARDEK_MOCK_LOG, a fresh log
//   ... load the module, or start a vardek that loads it ...
//   mock.calls()                             // the log's lines
//
// Both variables are unset when the object is made and again when it goes
// away, together with the folder. A vardek started meanwhile inherits them.
#ifndef VARDEK_TESTS_COMMON_MOCK_MODULE_H
#define VARDEK_TESTS_COMMON_MOCK_MODULE_H

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "pkcs11/mock/mock_p11.h"

namespace vardek::test {

class MockModule {
 public:
  // Makes TMPDIR (or /tmp) /<prefix>-XXXXXX; ok() tells whether it worked.
  explicit MockModule(const std::string &prefix = "vardek-mock") {
    unsetenv(mock::kConfigEnv);
    unsetenv(mock::kLogEnv);
    const char *t = getenv("TMPDIR");
    std::string tmpl =
        std::string(t != nullptr && *t != '\0' ? t : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) dir_ = buf.data();
  }
  MockModule(const MockModule &) = delete;
  MockModule &operator=(const MockModule &) = delete;
  ~MockModule() {
    unsetenv(mock::kConfigEnv);
    unsetenv(mock::kLogEnv);
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }

  bool ok() const { return !dir_.empty(); }
  const std::string &dir() const { return dir_; }
  std::string path(const std::string &name) const { return dir_ + "/" + name; }

  // Writes `text` as the configuration (replacing an earlier one) and points
  // VARDEK_MOCK_CONFIG at it.
  void configure(const std::string &text) const {
    std::string conf = path("mock.conf");
    std::ofstream(conf) << text;
    setenv(mock::kConfigEnv, conf.c_str(), 1);
  }

  // Removes the call log of earlier calls and points VARDEK_MOCK_LOG at it;
  // the module creates the file at its first logged call.
  void log_calls() const {
    std::error_code ec;
    std::filesystem::remove(log_path(), ec);
    setenv(mock::kLogEnv, log_path().c_str(), 1);
  }
  std::string log_path() const { return path("calls.log"); }
  // Lines of the call log; empty while the module has logged nothing.
  std::vector<std::string> calls() const { return mock::read_call_log(log_path()); }
  size_t count_calls(const std::string &prefix) const { return mock::count_calls(calls(), prefix); }
  // Forgets the calls logged so far.
  void clear_calls() const { std::ofstream(log_path(), std::ios::trunc); }

 private:
  std::string dir_;
};

}  // namespace vardek::test

#endif
