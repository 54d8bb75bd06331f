// Where the vardek that belongs to a program of the project lives.
#ifndef VARDEK_AGENTPROTO_LOCATE_H
#define VARDEK_AGENTPROTO_LOCATE_H

#include <string>

namespace vardek::agent {

// The vardek installed beside the running program: BIN/../libexec/vardek/vardek
// for an installed program in BIN, else BIN/vardek (a build tree). Returns ""
// with `why` naming the places tried when neither is executable.
std::string vardek_beside_self(std::string &why);

}  // namespace vardek::agent

#endif
