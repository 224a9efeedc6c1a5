// Replays fuzz inputs without libFuzzer: every file under the given files or
// directories goes, in name order and in one process (so engine state
// carries over, as in a fuzzing run), to the same LLVMFuzzerTestOneInput.
// Built by every build, so the sanitizer builds replay the corpus too.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  for (int i = 1; i < argc; i++) {
    const fs::path p(argv[i]);
    if (fs::is_directory(p)) {
      for (const fs::directory_entry& e : fs::recursive_directory_iterator(p)) {
        if (e.is_regular_file()) files.push_back(e.path());
      }
    } else if (fs::is_regular_file(p)) {
      files.push_back(p);
    } else {
      std::fprintf(stderr, "fuzz_replay: no such file or directory: %s\n", argv[i]);
      return 2;
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: fuzz_replay CORPUS_DIR|FILE...  (no inputs found)\n");
    return 2;
  }
  std::sort(files.begin(), files.end());
  size_t bytes = 0;
  for (const fs::path& f : files) {
    std::ifstream stream(f, std::ios::binary);
    const std::vector<char> content{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
    bytes += content.size();
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(content.data()), content.size());
  }
  std::printf("fuzz_replay: %zu inputs, %zu bytes, no finding\n", files.size(), bytes);
  return 0;
}
