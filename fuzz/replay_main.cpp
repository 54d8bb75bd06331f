// Runs a fuzz target over every file of a corpus folder, so builds without
// libFuzzer still exercise the committed inputs.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

void replay_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> buf((std::istreambuf_iterator<char>(in)), {});
  // Each input is announced first, so the one that aborts is the last line.
  std::fprintf(stderr, "replaying %s\n", path.c_str());
  LLVMFuzzerTestOneInput(buf.data(), buf.size());
}

}  // namespace

// Arguments are corpus folders or single input files (a crash file to
// reproduce under a debugger, say).
int main(int argc, char **argv) {
  int files = 0;
  for (int i = 1; i < argc; i++) {
    DIR *d = opendir(argv[i]);
    if (d == nullptr) {
      if (std::ifstream(argv[i], std::ios::binary).good()) {
        replay_file(argv[i]);
        files++;
        continue;
      }
      std::fprintf(stderr, "cannot open corpus %s\n", argv[i]);
      return 1;
    }
    while (dirent *e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      replay_file(std::string(argv[i]) + "/" + e->d_name);
      files++;
    }
    closedir(d);
  }
  std::printf("replayed %d inputs\n", files);
  return files > 0 ? 0 : 1;
}
