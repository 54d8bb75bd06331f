#include "agent/options.h"

#include <unistd.h>

#include <filesystem>

namespace vardek::agent {

std::optional<Options> parse_options(int argc, char **argv, std::string &why) {
  Options o;
  int c;
  opterr = 0;
  while ((c = getopt(argc, argv, "a:Dvh")) != -1) {
    switch (c) {
      case 'a':
        o.socket_path = optarg;
        if (o.socket_path.empty()) {
          why = "-a needs a socket path";
          return std::nullopt;
        }
        break;
      case 'D':
        o.foreground = true;
        break;
      case 'v':
        o.verbose++;
        break;
      case 'h':
        why.clear();
        return std::nullopt;
      default:
        why = optopt == 'a' ? "-a needs a socket path"
                            : std::string("unknown option -") + static_cast<char>(optopt);
        return std::nullopt;
    }
  }
  if (optind != argc) {
    why = std::string("unexpected argument ") + argv[optind];
    return std::nullopt;
  }
  o.vardek = locate_vardek(why);
  if (o.vardek.empty()) return std::nullopt;
  return o;
}

std::string locate_vardek(std::string &why) {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) {
    why = "cannot find the agent's own path: " + ec.message();
    return "";
  }
  std::filesystem::path bin = self.parent_path();
  const std::filesystem::path candidates[] = {
      (bin / ".." / "libexec" / "vardek" / "vardek").lexically_normal(),
      bin / "vardek",
  };
  why = "no vardek found at";
  for (const auto &p : candidates) {
    if (access(p.c_str(), X_OK) == 0) return p.string();
    why += " " + p.string();
  }
  return "";
}

}  // namespace vardek::agent
