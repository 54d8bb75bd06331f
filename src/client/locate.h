// Where the vardek beside this client lives.
#ifndef VARDEK_CLIENT_LOCATE_H
#define VARDEK_CLIENT_LOCATE_H

#include <string>

namespace vardek::client {

// The vardek installed beside the running client: BIN/../libexec/vardek/vardek
// for an installed client in BIN, else BIN/vardek (a build tree). Returns ""
// with `why` naming the places tried when neither is executable.
std::string default_vardek(std::string &why);

}  // namespace vardek::client

#endif
