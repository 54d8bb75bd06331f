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

int main(int argc, char **argv) {
  int files = 0;
  for (int i = 1; i < argc; i++) {
    DIR *d = opendir(argv[i]);
    if (d == nullptr) {
      std::fprintf(stderr, "cannot open corpus %s\n", argv[i]);
      return 1;
    }
    while (dirent *e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::string path = std::string(argv[i]) + "/" + e->d_name;
      std::ifstream in(path, std::ios::binary);
      std::vector<uint8_t> buf((std::istreambuf_iterator<char>(in)), {});
      LLVMFuzzerTestOneInput(buf.data(), buf.size());
      files++;
    }
    closedir(d);
  }
  std::printf("replayed %d inputs\n", files);
  return files > 0 ? 0 : 1;
}
