// Runs a fuzz target once on every file of the corpus directories and files given.
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

namespace {

bool replay(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    fprintf(stderr, "replay: cannot open %s\n", file.c_str());
    return false;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    fprintf(stderr, "replay: cannot read %s\n", file.c_str());
    return false;
  }
  // The name first, so that a target that aborts shows which input did it.
  fprintf(stderr, "replay: %s (%zu bytes)\n", file.c_str(), bytes.size());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s corpus-dir-or-file...\n", argv[0]);
    return 2;
  }
  int ran = 0;
  bool ok = true;
  for (int a = 1; a < argc; ++a) {
    std::error_code ec;
    const fs::path arg(argv[a]);
    if (!fs::is_directory(arg, ec)) {
      ok = replay(arg) && ok;
      ++ran;
      continue;
    }
    // Sorted, so that every run replays in the same order.
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(arg, ec)) {
      if (e.is_regular_file()) files.push_back(e.path());
    }
    if (ec) {
      fprintf(stderr, "replay: cannot list %s: %s\n", argv[a], ec.message().c_str());
      ok = false;
      continue;
    }
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
      ok = replay(f) && ok;
      ++ran;
    }
  }
  printf("replay: %d inputs ran\n", ran);
  return ok ? 0 : 1;
}
