// Runs a fuzz target over the files named on the command line, or over
// standard input when none are named, so that corpus files and crash
// reproducers replay without libFuzzer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void Replay(const std::vector<char>& input) {
  // An empty vector's data() may be null; the target is still given a valid pointer.
  static const std::uint8_t kNothing = 0;
  const auto* data = input.empty() ? &kNothing : reinterpret_cast<const std::uint8_t*>(input.data());
  LLVMFuzzerTestOneInput(data, input.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    Replay(std::vector<char>(std::istreambuf_iterator<char>(std::cin), {}));
    return 0;
  }
  for (int i = 1; i < argc; ++i) {
    std::ifstream file(argv[i], std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      return 1;
    }
    Replay(std::vector<char>(std::istreambuf_iterator<char>(file), {}));
  }
  return 0;
}
