// Runs a program for the client tests: arguments, extra environment, bytes on
// standard input; collects standard output, standard error and the status.
#ifndef VARDEK_TESTS_CLIENT_PROC_H
#define VARDEK_TESTS_CLIENT_PROC_H

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace vardek::test {

struct Result {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

struct Command {
  std::vector<std::string> argv;
  std::map<std::string, std::string> env;  // set in the child; "" value unsets
  std::string input;                       // standard input (a pipe)

  Result operator()() const {
    Result res;
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err)) return res;
    pid_t pid = fork();
    if (pid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
      for (const auto &[k, v] : env) {
        if (v.empty())
          unsetenv(k.c_str());
        else
          setenv(k.c_str(), v.c_str(), 1);
      }
      std::vector<char *> args;
      for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    size_t written = 0;
    int wfd = in[1];
    if (input.empty()) {
      close(wfd);
      wfd = -1;
    } else {
      fcntl(wfd, F_SETFL, O_NONBLOCK);
    }
    int open_fds = 2;
    while (open_fds > 0 || wfd != -1) {
      pollfd p[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {wfd, POLLOUT, 0}};
      if (poll(p, 3, 60000) <= 0) break;
      for (int i = 0; i < 2; i++) {
        if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buf[4096];
        ssize_t n = read(p[i].fd, buf, sizeof buf);
        if (n <= 0) {
          close(p[i].fd);
          (i == 0 ? out[0] : err[0]) = -1;
          open_fds--;
        } else {
          (i == 0 ? res.out : res.err).append(buf, static_cast<size_t>(n));
        }
      }
      if (wfd != -1 && (p[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
        ssize_t n = write(wfd, input.data() + written, input.size() - written);
        if (n > 0) written += static_cast<size_t>(n);
        if (n <= 0 || written == input.size()) {
          close(wfd);
          wfd = -1;
        }
      }
    }
    if (out[0] != -1) close(out[0]);
    if (err[0] != -1) close(err[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    res.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return res;
  }
};

// A scratch directory removed at the end of the test.
class ScratchDir {
 public:
  ScratchDir() {
    std::string t = std::filesystem::temp_directory_path().string() + "/vardek-client-XXXXXX";
    path_ = mkdtemp(t.data()) ? t : "";
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string file(const std::string &name) const { return path_ + "/" + name; }
  std::string write(const std::string &name, const std::string &data, int mode = 0600) const {
    std::string p = file(name);
    std::ofstream(p, std::ios::binary) << data;
    chmod(p.c_str(), static_cast<mode_t>(mode));
    return p;
  }
  std::string read(const std::string &name) const {
    std::ifstream f(file(name), std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace vardek::test

#endif
