#include "app/FileDigest.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <sys/stat.h>

#include "engine/api/EngineApi.h"

namespace bw::app {

FileDigest ComputeFileMd5(const std::string& path, std::atomic<int>& progress, const std::atomic<bool>* stop) {
  progress = 0;
  FileDigest result;
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) return result;
  struct stat info;
  if (::fstat(::fileno(file.get()), &info) != 0) return result;
  const auto length = static_cast<uint64_t>(info.st_size);

  constexpr size_t kBlock = 4096;
  // 64-bit so that the large files cannot overflow; a file under one block has no whole block.
  const uint64_t wholeBlocks = std::max<uint64_t>(1, length / kBlock);
  uint64_t blocksRead = 0;
  Md5 md5;
  uint8_t buffer[kBlock];
  for (;;) {
    if (stop && stop->load(std::memory_order_relaxed)) {
      result.outcome = FileDigest::Outcome::kStopped;
      return result;
    }
    const size_t got = std::fread(buffer, 1, kBlock, file.get());
    if (got > 0) {
      md5.Update(buffer, got);
      ++blocksRead;
      progress = static_cast<int>(blocksRead * 10000 / wholeBlocks);
    }
    if (got < kBlock) break;
  }
  if (std::ferror(file.get())) {
    result.outcome = FileDigest::Outcome::kReadError;
    return result;
  }
  uint8_t digest[Md5::kDigestSize];
  md5.Final(digest);
  result.outcome = FileDigest::Outcome::kDigest;
  result.hex = Md5::Hex(digest);
  return result;
}

}  // namespace bw::app
