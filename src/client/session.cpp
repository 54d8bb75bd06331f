#include "client/session.h"

#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "client/progress.h"

namespace vardek::client {

namespace {

// How long a reply may take once its first byte has arrived.
constexpr int frame_timeout_ms = 30000;
// How long vardek may take to end once its input is closed.
constexpr int exit_timeout_ms = 5000;

}  // namespace

Session::Session(std::string vardek, int verbose) : path_(std::move(vardek)), verbose_(verbose) {}

bool Session::start(std::string &why) {
  if (access(path_.c_str(), X_OK) != 0) {
    why = "cannot run " + path_ + ": " + strerror(errno);
    return false;
  }
  std::vector<std::string> argv{path_};
  for (int i = 0; i < verbose_ && i < 3; i++) argv.emplace_back("-v");
  if (!child_.start(argv)) {
    why = "cannot start " + path_ + ": " + strerror(errno);
    return false;
  }
  alive_ = true;
  return true;
}

std::optional<agent::Reply> Session::exchange(agent::Bytes &request, const char *what) {
  if (!alive_) return std::nullopt;
  bool sent = child_.send(request);
  agent::wipe(request);
  if (!sent) return std::nullopt;
  {
    Progress progress(verbose_ == 0, what);
    while (!child_.readable(200)) progress.tick();
  }
  return child_.recv(frame_timeout_ms);
}

std::string Session::ended() {
  alive_ = false;
  child_.close_input();
  int st = child_.wait(exit_timeout_ms);
  std::string s;
  if (st == -1) {
    s = "vardek stopped answering";
  } else if (WIFEXITED(st)) {
    s = "vardek ended with status " + std::to_string(WEXITSTATUS(st));
    if (WEXITSTATUS(st) == 127) s += " (it could not be started)";
  } else if (WIFSIGNALED(st)) {
    s = "vardek was killed by signal " + std::to_string(WTERMSIG(st)) + " (" +
        strsignal(WTERMSIG(st)) + ")";
  } else {
    s = "vardek ended";
  }
  if (verbose_ == 0) s += "; run with -v to see its log";
  return s;
}

AddResult Session::add(const std::string &provider, const Secret &pin) {
  AddResult res;
  agent::Bytes req = agent::add_request(provider, pin.view());
  auto reply = exchange(req, "loading the token");
  if (!reply) {
    res.detail = ended();
    return res;
  }
  if (auto ids = agent::parse_identities(*reply)) {
    res.kind = AddResult::Kind::keys;
    res.ids = std::move(*ids);
  } else if (auto reason = agent::parse_add_failure(*reply)) {
    res.kind = AddResult::Kind::refused;
    res.reason = *reason;
  } else {
    res.detail = "vardek gave a malformed answer (message type " + std::to_string(reply->type) +
                 ") to the add request";
  }
  return res;
}

SignResult Session::sign(const agent::Bytes &blob, const agent::Bytes &data) {
  SignResult res;
  agent::Bytes req = agent::sign_request(blob, data);
  auto reply = exchange(req, "signing on the token");
  if (!reply) {
    res.detail = ended();
    return res;
  }
  if (auto sig = agent::parse_signature(*reply)) {
    res.kind = SignResult::Kind::signature;
    res.signature = std::move(*sig);
  } else if (reply->type == agent::AGENT_SIGN_FAILURE && reply->body.empty()) {
    res.kind = SignResult::Kind::refused;
  } else {
    res.detail = "vardek gave a malformed answer (message type " + std::to_string(reply->type) +
                 ") to the sign request";
  }
  return res;
}

bool Session::remove(const std::string &provider) {
  agent::Bytes req = agent::remove_request(provider);
  auto reply = exchange(req, "removing the provider");
  return reply && reply->type == agent::AGENT_SUCCESS && reply->body.empty();
}

void Session::finish() {
  if (!alive_) return;
  alive_ = false;
  child_.close_input();
  child_.wait(exit_timeout_ms);
}

}  // namespace vardek::client
