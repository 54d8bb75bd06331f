#include "agent/options.h"

#include <unistd.h>

#include "agentproto/locate.h"

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
  o.vardek = vardek_beside_self(why);
  if (o.vardek.empty()) return std::nullopt;
  return o;
}

}  // namespace vardek::agent
