#include "client/pin.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace vardek::client {

namespace {

// Reads from `fd` into the secret until end of input, a line break or a full
// buffer. Returns the count, or -1 on a read error, or -2 when the input is
// longer than the buffer.
ssize_t read_line(int fd, Secret &pin) {
  char *buf = pin.data();
  size_t n = 0;
  for (;;) {
    char c;
    ssize_t r = read(fd, &c, 1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0 || c == '\n') break;
    if (n == Secret::capacity) return -2;
    buf[n++] = c;
  }
  if (n > 0 && buf[n - 1] == '\r') n--;
  pin.set_size(n);
  return static_cast<ssize_t>(n);
}

bool from_file(const std::string &path, Secret &pin, std::string &why) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    why = "cannot open PIN file " + path + ": " + strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0)
    (void)fprintf(stderr, "vardek-client: warning: PIN file %s is readable by other users\n",
                  path.c_str());
  ssize_t r = read_line(fd, pin);
  int saved = errno;
  close(fd);
  if (r == -1) why = "cannot read PIN file " + path + ": " + strerror(saved);
  if (r == -2) why = "PIN file " + path + " holds more than a PIN";
  return r >= 0;
}

bool from_env(const std::string &var, Secret &pin, std::string &why) {
  char *v = getenv(var.c_str());
  if (v == nullptr) {
    why = "PIN variable " + var + " is not set";
    return false;
  }
  size_t n = strlen(v);
  bool ok = pin.assign(v, n);
  explicit_bzero(v, n);
  unsetenv(var.c_str());
  if (!ok) why = "PIN variable " + var + " is too long";
  return ok;
}

// The terminal settings to put back if a signal ends the prompt.
struct termios saved_tio;
volatile sig_atomic_t tio_saved = 0;
const int prompt_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};
struct sigaction old_actions[sizeof prompt_signals / sizeof prompt_signals[0]];

// Where the prompt goes: the terminal itself, so that it shows when
// standard error is redirected.
volatile sig_atomic_t prompt_fd = STDERR_FILENO;

void restore_and_raise(int sig) {
  if (tio_saved) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_tio);
  // The shell prompt that follows starts on a line of its own.
  ssize_t w = write(prompt_fd, "\n", 1);
  (void)w;
  (void)signal(sig, SIG_DFL);
  (void)raise(sig);
}

bool from_prompt(const std::string &provider, Secret &pin, std::string &why) {
  if (tcgetattr(STDIN_FILENO, &saved_tio) != 0) {
    why = std::string("cannot read the terminal settings: ") + strerror(errno);
    return false;
  }
  struct sigaction sa {};
  sa.sa_handler = restore_and_raise;
  sigemptyset(&sa.sa_mask);
  for (size_t i = 0; i < sizeof prompt_signals / sizeof prompt_signals[0]; i++)
    sigaction(prompt_signals[i], &sa, &old_actions[i]);
  tio_saved = 1;
  struct termios quiet = saved_tio;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
  quiet.c_lflag |= ICANON;
  // Echo goes off before the prompt shows: TCSAFLUSH discards what was typed
  // before it, so a PIN typed as soon as the prompt appears must come after.
  ssize_t r = -1;
  int tty = open("/dev/tty", O_WRONLY | O_CLOEXEC | O_NOCTTY);
  prompt_fd = tty >= 0 ? tty : STDERR_FILENO;
  if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0) {
    std::string text = "PIN for " + provider + ": ";
    ssize_t w = write(prompt_fd, text.data(), text.size());
    (void)w;
    r = read_line(STDIN_FILENO, pin);
  }
  int saved = errno;
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_tio);
  tio_saved = 0;
  for (size_t i = 0; i < sizeof prompt_signals / sizeof prompt_signals[0]; i++)
    sigaction(prompt_signals[i], &old_actions[i], nullptr);
  ssize_t w = write(prompt_fd, "\n", 1);
  (void)w;
  prompt_fd = STDERR_FILENO;
  if (tty >= 0) close(tty);
  if (r == -1) why = std::string("cannot read the PIN: ") + strerror(saved);
  if (r == -2) why = "the PIN is too long";
  return r >= 0;
}

}  // namespace

bool read_pin(const PinSource &src, const std::string &provider, Secret &pin, PinOrigin &origin,
              std::string &why) {
  pin.wipe();
  bool ok = true;
  if (!src.file.empty()) {
    origin = PinOrigin::file;
    ok = from_file(src.file, pin, why);
  } else if (!src.env.empty()) {
    origin = PinOrigin::env;
    ok = from_env(src.env, pin, why);
  } else if (!src.none && isatty(STDIN_FILENO)) {
    origin = PinOrigin::prompt;
    ok = from_prompt(provider, pin, why);
  } else {
    origin = PinOrigin::none;
  }
  if (ok && pin.view().find('\0') != std::string_view::npos) {
    why = "the PIN holds a NUL byte";
    ok = false;
  }
  if (!ok) pin.wipe();
  return ok;
}

}  // namespace vardek::client
