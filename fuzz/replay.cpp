// Runs the seed corpus of every registered fuzz target: each file of
// <corpus>/<target>/ goes through that target once. A crash fails the test.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz/fuzz_target.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
    return 2;
  }
  namespace fs = std::filesystem;
  size_t runs = 0;
  for (const auto& [name, entry] : zarv::fuzz::registry()) {
    fs::path dir = fs::path(argv[1]) / name;
    size_t files = 0;
    if (fs::is_directory(dir)) {
      for (const auto& file : fs::directory_iterator(dir)) {
        if (!file.is_regular_file()) continue;
        std::ifstream in(file.path(), std::ios::binary);
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), {});
        entry(data.data(), data.size());
        ++files;
      }
    }
    entry(nullptr, 0);  // the empty input, always
    std::printf("%s: %zu corpus files\n", name.c_str(), files);
    runs += files + 1;
  }
  std::printf("replayed %zu inputs\n", runs);
  return 0;
}
