#include "tools/bwpack/DemoFiles.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

#include "tools/bwpack/PackageLayout.h"

namespace bwpack {
namespace {

// xorshift64*: the same bytes on every machine, and unlike a pattern no two pieces are alike.
class Bytes {
 public:
  explicit Bytes(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ULL + 1) {}
  uint64_t Next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545F4914F6CDD1DULL;
  }

 private:
  uint64_t state_;
};

bool WriteFile(const std::filesystem::path& path, uint64_t size, uint64_t seed) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  Bytes bytes(seed);
  std::vector<char> chunk(1 << 20);
  for (uint64_t written = 0; out && written < size;) {
    for (size_t i = 0; i < chunk.size(); i += 8) {
      const uint64_t word = bytes.Next();
      for (size_t k = 0; k < 8; ++k) chunk[i + k] = static_cast<char>(word >> (8 * k));
    }
    const uint64_t n = std::min<uint64_t>(chunk.size(), size - written);
    out.write(chunk.data(), static_cast<std::streamsize>(n));
    written += n;
  }
  out.close();
  return static_cast<bool>(out);
}

}  // namespace

bool WriteDemoFiles(const std::string& folder, bool scale, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  for (size_t i = 0; i < std::size(kLayout); ++i) {
    const std::filesystem::path path = std::filesystem::path(folder) / kLayout[i].name;
    if (!WriteFile(path, scale ? kLayout[i].fullSize : kLayout[i].smallSize, i + 1)) {
      *error = "cannot write " + path.string();
      return false;
    }
  }
  return true;
}

}  // namespace bwpack
