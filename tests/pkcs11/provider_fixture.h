// Shared set-up of the provider-layer tests: the logger writes debug3 lines
// to standard error, which is redirected into a file the test reads back;
// the registry starts empty and every provider a test leaves is removed.
#ifndef VARDEK_TESTS_PKCS11_PROVIDER_FIXTURE_H
#define VARDEK_TESTS_PKCS11_PROVIDER_FIXTURE_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/mock_module.h"
#include "key/sshkey.h"
#include "log/log.h"
#include "pkcs11/mock/mock_p11.h"
#include "pkcs11/ssh-pkcs11-internal.h"
#include "pkcs11/ssh-pkcs11.h"

namespace vardek::test {

// Keys and labels as pkcs11_add_provider hands them out; freed on
// destruction unless taken.
struct KeySet {
  sshkey **keys = nullptr;
  char **labels = nullptr;
  int n = 0;

  KeySet() = default;
  KeySet(const KeySet &) = delete;
  KeySet &operator=(const KeySet &) = delete;
  ~KeySet() { clear(); }
  void clear() {
    for (int i = 0; i < n; i++) {
      sshkey_free(keys[i]);
      free(labels[i]);
    }
    free(keys);
    free(labels);
    keys = nullptr;
    labels = nullptr;
    n = 0;
  }
  std::vector<std::string> label_list() const {
    std::vector<std::string> v;
    for (int i = 0; i < n; i++) v.emplace_back(labels[i]);
    return v;
  }
};

class ProviderTest : public ::testing::Test {
 public:
  static std::string data(const char *name) {
    return std::string(VARDEK_MOCK_DATA_DIR) + "/" + name;
  }
  static std::string mock_module() { return VARDEK_MOCK_MODULE; }
  // A URI naming the mock module, with `path_attrs` before the query.
  static std::string mock_uri(const std::string &path_attrs = "") {
    return "pkcs11:" + path_attrs + "?module-path=" + mock_module();
  }

 protected:
  void SetUp() override {
    ASSERT_TRUE(mock_.ok());
    dir_ = mock_.dir();
    stderr_path_ = mock_.path("stderr.log");
    mock_.log_calls();
    fflush(stderr);
    saved_stderr_ = dup(2);
    int fd = open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
    ASSERT_GE(fd, 0);
    dup2(fd, 2);
    close(fd);
    log_init_handler("test_pkcs11", SSHLOG_DEBUG3, 1);
    pkcs11_init(0);
  }

  void TearDown() override {
    // Providers a test left behind go now, so the next test starts empty.
    while (!TAILQ_EMPTY(&provider_list)) {
      pkcs11_provider *p = TAILQ_FIRST(&provider_list);
      TAILQ_REMOVE(&provider_list, p, next);
      pkcs11_provider_finalize(p);
      pkcs11_provider_unref(p);
    }
    fflush(stderr);
    dup2(saved_stderr_, 2);
    close(saved_stderr_);
    if (HasFailure()) {
      std::fprintf(stdout, "--- log of the failed test ---\n");
      for (const auto &l : log_lines()) std::fprintf(stdout, "%s\n", l.c_str());
    }
  }

  // Writes the mock's configuration and points the module at it.
  void mock_config(const std::string &text) { mock_.configure(text); }

  // Log lines written so far, without their CR LF.
  std::vector<std::string> log_lines() const {
    std::vector<std::string> lines;
    std::ifstream in(stderr_path_);
    for (std::string l; std::getline(in, l);) {
      if (!l.empty() && l.back() == '\r') l.pop_back();
      lines.push_back(l);
    }
    return lines;
  }
  bool logged(const std::string &line) const {
    auto lines = log_lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  size_t count_logged(const std::string &line) const {
    auto lines = log_lines();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
  }
  // Index of the first line equal to `line` at or after `from`, or -1.
  long log_index(const std::string &line, size_t from = 0) const {
    auto lines = log_lines();
    for (size_t i = from; i < lines.size(); i++)
      if (lines[i] == line) return static_cast<long>(i);
    return -1;
  }
  // Forgets what was logged so far.
  void clear_log() const {
    int fd = open(stderr_path_.c_str(), O_WRONLY | O_TRUNC);
    if (fd >= 0) close(fd);
  }

  std::vector<std::string> calls() const { return mock_.calls(); }
  size_t count_calls(const std::string &prefix) const { return mock_.count_calls(prefix); }
  // Only the call names, in order ("C_Initialize", ...).
  std::vector<std::string> call_names() const {
    std::vector<std::string> v;
    for (const auto &l : calls()) v.push_back(l.substr(0, l.find(' ')));
    return v;
  }
  void clear_calls() const { mock_.clear_calls(); }

  static int nproviders() {
    int n = 0;
    pkcs11_provider *p;
    TAILQ_FOREACH(p, &provider_list, next) n++;
    return n;
  }
  static pkcs11_provider *first_provider() { return TAILQ_FIRST(&provider_list); }

  // Made before SetUp and removed after TearDown, with the log in it.
  MockModule mock_{"vardek-p11test"};
  std::string dir_, stderr_path_;
  int saved_stderr_ = -1;
};

}  // namespace vardek::test

#endif
