#include "agentproto/locate.h"

#include <unistd.h>

#include <filesystem>

namespace vardek::agent {

std::string vardek_beside_self(std::string &why) {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) {
    why = "cannot find this program's own path: " + ec.message();
    return "";
  }
  std::filesystem::path bin = self.parent_path();
  const std::filesystem::path candidates[] = {
      (bin / ".." / "libexec" / "vardek" / "vardek").lexically_normal(),
      bin / "vardek",
  };
  why = "no vardek found at";
  for (const auto &c : candidates) {
    if (access(c.c_str(), X_OK) == 0) return c.string();
    why += " " + c.string();
  }
  return "";
}

}  // namespace vardek::agent
