// Stand-in for libFuzzer where the compiler has none: runs every seed, then
// random mutations of them for a bounded time and count. Accepts the same
// command line as a libFuzzer run (-max_total_time=N, -runs=N, corpus
// directories); other flags are ignored.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using Input = std::vector<uint8_t>;

class Random {
 public:
  uint64_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  size_t Below(size_t bound) { return bound == 0 ? 0 : static_cast<size_t>(Next() % bound); }

 private:
  uint64_t state_ = 0x9E3779B97F4A7C15ull;
};

std::vector<Input> LoadSeeds(const std::vector<std::string>& directories) {
  std::vector<Input> seeds;
  for (const std::string& directory : directories) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
      if (!entry.is_regular_file()) continue;
      std::ifstream file(entry.path(), std::ios::binary);
      seeds.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
  }
  if (seeds.empty()) seeds.emplace_back();
  return seeds;
}

// Lengths where the datagram rules change.
constexpr size_t kEdgeLengths[] = {0, 3, 4, 71, 72, 73, 675, 676, 8039, 8040, 8192};
constexpr uint32_t kCodes[] = {101, 103, 104, 105, 106, 108, 109, 110, 203, 205, 206, 207, 213};

void Mutate(Input& input, Random& random) {
  const size_t steps = 1 + random.Below(6);
  for (size_t step = 0; step < steps; ++step) {
    switch (random.Below(6)) {
      case 0:
        if (!input.empty()) input[random.Below(input.size())] ^= static_cast<uint8_t>(1u << random.Below(8));
        break;
      case 1:
        if (!input.empty()) input[random.Below(input.size())] = static_cast<uint8_t>(random.Next());
        break;
      case 2:
        input.insert(input.begin() + static_cast<std::ptrdiff_t>(random.Below(input.size() + 1)),
                     1 + random.Below(16), static_cast<uint8_t>(random.Next()));
        break;
      case 3:
        if (!input.empty()) {
          const size_t at = random.Below(input.size());
          input.erase(input.begin() + static_cast<std::ptrdiff_t>(at),
                      input.begin() + static_cast<std::ptrdiff_t>(at + 1 + random.Below(input.size() - at)));
        }
        break;
      case 4:
        if (input.size() >= 5) {  // the first chunk's datagram length
          const size_t length = kEdgeLengths[random.Below(std::size(kEdgeLengths))];
          input[3] = static_cast<uint8_t>(length);
          input[4] = static_cast<uint8_t>(length >> 8);
        }
        break;
      default:
        if (input.size() >= 11) {  // a type code right after the first chunk header
          const uint32_t code = kCodes[random.Below(std::size(kCodes))];
          for (int i = 0; i < 4; ++i) input[7 + i] = static_cast<uint8_t>(code >> (8 * i));
        }
        break;
    }
    if (input.size() > 4096) input.resize(4096);
  }
}

}  // namespace

int main(int argc, char** argv) {
  long seconds = 20;
  long runs = 1000000;
  std::vector<std::string> directories;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("-max_total_time=", 0) == 0) seconds = std::stol(arg.substr(16));
    else if (arg.rfind("-runs=", 0) == 0) runs = std::stol(arg.substr(6));
    else if (arg.empty() || arg[0] != '-') directories.push_back(arg);
  }

  const std::vector<Input> seeds = LoadSeeds(directories);
  for (const Input& seed : seeds) LLVMFuzzerTestOneInput(seed.data(), seed.size());

  Random random;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  long done = 0;
  for (; done < runs && std::chrono::steady_clock::now() < deadline; ++done) {
    Input input = seeds[random.Below(seeds.size())];
    Mutate(input, random);
    LLVMFuzzerTestOneInput(input.data(), input.size());
  }
  std::printf("mutation driver: %zu seeds, %ld mutated runs, no finding\n", seeds.size(), done);
  return 0;
}
