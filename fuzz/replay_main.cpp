// Runs a fuzz target over saved inputs without libFuzzer: every file named on
// the command line, and every file inside every folder named there, is read
// and passed to the target once, in name order. The test suite uses this to
// replay the committed corpora with the ordinary compiler (and its sanitizers),
// so each target keeps building and every input it ever saved keeps passing.
// Exits with status 1 when an argument cannot be read or no input was found.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool replay(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::cerr << "cannot read " << path << '\n';
    return false;
  }
  const std::vector<char> text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  std::vector<std::uint8_t> bytes(text.begin(), text.end());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path argument(argv[i]);
    std::error_code error;
    if (std::filesystem::is_directory(argument, error)) {
      for (const auto& entry : std::filesystem::directory_iterator(argument)) {
        if (entry.is_regular_file()) {
          inputs.push_back(entry.path());
        }
      }
    } else {
      inputs.push_back(argument);
    }
  }
  std::sort(inputs.begin(), inputs.end());
  if (inputs.empty()) {
    std::cerr << "no inputs to replay\n";
    return 1;
  }
  for (const auto& input : inputs) {
    if (!replay(input)) {
      return 1;
    }
  }
  std::cout << "replayed " << inputs.size() << " inputs\n";
  return 0;
}
