// bench_drive: runs vardek (or a floor program that speaks the same framing)
// as an agent runs it and measures one thing per call. bench/run_bench.py
// calls it; every mode prints one line of "name=value" fields.
//
//   bench_drive sign PROG MODULE PIN LABEL COUNT DATALEN
//       adds MODULE, signs COUNT times with the identity LABEL, one request
//       at a time: us_per_sign
//   bench_drive own PROG MODULE|- PIN LABEL|- COUNT
//       as sign, against a token that signs instantly (or, with "-", a floor
//       program that answers every sign request itself): us_per_request
//   bench_drive add PROG MODULE PIN REPS
//       REPS times: add MODULE, then remove it: ms per add (median, min)
//   bench_drive start PROG REPS
//       REPS fresh processes: spawn to the reply of a first remove request,
//       and peak RSS (wait4): us (median, min), rss_kib (max)
//   bench_drive loaded PROG MODULE PIN
//       one process that adds MODULE and then exits: peak RSS
//   bench_drive rss PROG MODULE PIN LABEL COUNT STEP
//       signs COUNT times, VmRSS every STEP requests: rss_kib=a,b,c,...
//   bench_drive pipeline PROG MODULE PIN LABEL COUNT DEPTH
//       COUNT sign requests with at most DEPTH in flight: seconds, peak RSS,
//       replies that are sign responses
//
// PROG may be given as "taskset -c N path": a leading "taskset -c N" pins the
// child (the measuring process pins itself with its own taskset).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "agentproto/agentproto.h"

namespace {

using vardek::agent::Bytes;
using vardek::agent::Child;
using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const std::string &why) {
  fprintf(stderr, "bench_drive: %s\n", why.c_str());
  exit(1);
}

std::vector<std::string> split_prog(const std::string &prog) {
  std::vector<std::string> argv;
  std::istringstream in(prog);
  for (std::string w; in >> w;) argv.push_back(w);
  if (argv.empty()) die("empty program");
  return argv;
}

double since_us(Clock::time_point t0) {
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

// Peak RSS of a child that has been told to exit (input closed).
long reap_rss(Child &c) {
  c.close_input();
  int status = 0;
  rusage ru{};
  if (wait4(c.pid(), &status, 0, &ru) != c.pid()) die("wait4");
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die("child did not exit cleanly");
  return ru.ru_maxrss;
}

long vm_rss_kib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// Adds the provider and returns the blob of the identity labelled `label`.
Bytes add_and_pick(Child &c, const std::string &module, const std::string &pin,
                   const std::string &label) {
  Bytes req = vardek::agent::add_request(module, pin);
  auto reply = c.call(req, 120000);
  vardek::agent::wipe(req);
  if (!reply) die("no answer to the add request");
  auto ids = vardek::agent::parse_identities(*reply);
  if (!ids) die("the add request failed");
  for (const auto &id : *ids) {
    if (id.label == label) return id.blob;
  }
  die("no identity labelled " + label);
}

// One sign request for `blob` over `dlen` bytes of data.
Bytes sign_frame(const Bytes &blob, size_t dlen) {
  Bytes data(dlen);
  for (size_t i = 0; i < dlen; i++) data[i] = static_cast<uint8_t>(i * 7 + 1);
  return vardek::agent::sign_request(blob, data);
}

void sign_loop(Child &c, const Bytes &frame, long count) {
  for (long i = 0; i < count; i++) {
    if (!c.send(frame)) die("vardek stopped reading");
    auto r = c.recv(60000);
    if (!r || r->type != vardek::agent::AGENT_SIGN_RESPONSE) die("a sign request failed");
  }
}

// The blob of an RSA key nobody needs to hold: the floor answers every sign
// request without looking at it.
Bytes floor_blob() {
  Bytes blob;
  vardek::agent::put_string(blob, std::string_view("ssh-rsa"));
  vardek::agent::put_string(blob, Bytes{1, 0, 1});
  vardek::agent::put_string(blob, Bytes(257, 0xc5));
  return blob;
}

int mode_sign(char **a, bool own) {
  Child c;
  if (!c.start(split_prog(a[0]))) die("cannot start the program");
  std::string module = a[1];
  Bytes blob = module == "-" ? floor_blob() : add_and_pick(c, module, a[2], a[3]);
  long count = std::atol(a[4]);
  size_t dlen = own ? 83 : static_cast<size_t>(std::atol(a[5]));
  Bytes frame = sign_frame(blob, dlen);
  sign_loop(c, frame, std::max(1L, count / 20));  // warm-up
  auto t0 = Clock::now();
  sign_loop(c, frame, count);
  double us = since_us(t0) / static_cast<double>(count);
  long rss = reap_rss(c);
  printf("%s=%.3f rss_kib=%ld\n", own ? "us_per_request" : "us_per_sign", us, rss);
  return 0;
}

int mode_add(char **a) {
  Child c;
  if (!c.start(split_prog(a[0]))) die("cannot start the program");
  int reps = std::atoi(a[3]);
  std::vector<double> ms;
  size_t keys = 0;
  for (int i = 0; i < reps; i++) {
    Bytes req = vardek::agent::add_request(a[1], a[2]);
    auto t0 = Clock::now();
    auto reply = c.call(req, 600000);
    ms.push_back(since_us(t0) / 1000.0);
    vardek::agent::wipe(req);
    auto ids = reply ? vardek::agent::parse_identities(*reply) : std::nullopt;
    if (!ids) die("the add request failed");
    keys = ids->size();
    auto del = c.call(vardek::agent::remove_request(a[1]), 60000);
    if (!del || del->type != vardek::agent::AGENT_SUCCESS) die("the remove request failed");
  }
  std::sort(ms.begin(), ms.end());
  long rss = reap_rss(c);
  printf("ms_median=%.3f ms_min=%.3f keys=%zu rss_kib=%ld\n", ms[ms.size() / 2], ms[0], keys, rss);
  return 0;
}

int mode_start(char **a) {
  int reps = std::atoi(a[1]);
  std::vector<double> us;
  long rss = 0;
  const Bytes req = vardek::agent::remove_request("nobody");
  for (int i = 0; i < reps; i++) {
    Child c;
    auto t0 = Clock::now();
    if (!c.start(split_prog(a[0]))) die("cannot start the program");
    auto r = c.call(req, 10000);
    us.push_back(since_us(t0));
    if (!r || r->type != vardek::agent::AGENT_FAILURE) die("unexpected answer at start-up");
    rss = std::max(rss, reap_rss(c));
  }
  std::sort(us.begin(), us.end());
  printf("us_median=%.1f us_min=%.1f rss_kib=%ld\n", us[us.size() / 2], us[0], rss);
  return 0;
}

int mode_loaded(char **a) {
  Child c;
  if (!c.start(split_prog(a[0]))) die("cannot start the program");
  Bytes req = vardek::agent::add_request(a[1], a[2]);
  auto reply = c.call(req, 120000);
  vardek::agent::wipe(req);
  if (!reply || !vardek::agent::parse_identities(*reply)) die("the add request failed");
  printf("rss_kib=%ld\n", reap_rss(c));
  return 0;
}

int mode_rss(char **a) {
  Child c;
  if (!c.start(split_prog(a[0]))) die("cannot start the program");
  Bytes frame = sign_frame(add_and_pick(c, a[1], a[2], a[3]), 83);
  long count = std::atol(a[4]), step = std::max(1L, std::atol(a[5]));
  std::string samples = std::to_string(vm_rss_kib(c.pid()));
  for (long done = 0; done < count; done += step) {
    sign_loop(c, frame, std::min(step, count - done));
    samples += "," + std::to_string(vm_rss_kib(c.pid()));
  }
  long peak = reap_rss(c);
  printf("rss_kib=%s peak_kib=%ld\n", samples.c_str(), peak);
  return 0;
}

int mode_pipeline(char **a) {
  Child c;
  if (!c.start(split_prog(a[0]))) die("cannot start the program");
  Bytes frame = sign_frame(add_and_pick(c, a[1], a[2], a[3]), 83);
  long count = std::atol(a[4]), depth = std::max(1L, std::atol(a[5]));
  long sent = 0, answered = 0, good = 0;
  auto t0 = Clock::now();
  while (answered < count) {
    while (sent < count && sent - answered < depth) {
      if (!c.send(frame)) die("vardek stopped reading");
      sent++;
    }
    auto r = c.recv(60000);
    if (!r) break;
    answered++;
    if (r->type == vardek::agent::AGENT_SIGN_RESPONSE) good++;
  }
  double s = since_us(t0) / 1e6;
  long rss = reap_rss(c);
  printf("seconds=%.4f requests=%ld signed=%ld rss_kib=%ld\n", s, count, good, rss);
  return good == count ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  char **a = argv + 2;
  int n = argc - 2;
  if (mode == "sign" && n == 6) return mode_sign(a, false);
  if (mode == "own" && n == 5) return mode_sign(a, true);
  if (mode == "add" && n == 4) return mode_add(a);
  if (mode == "start" && n == 2) return mode_start(a);
  if (mode == "loaded" && n == 3) return mode_loaded(a);
  if (mode == "rss" && n == 6) return mode_rss(a);
  if (mode == "pipeline" && n == 6) return mode_pipeline(a);
  fprintf(stderr, "usage: see the head of bench/drive.cpp\n");
  return 2;
}
