#pragma once
#include <atomic>
#include <string>

namespace bw::app {

struct FileDigest {
  enum class Outcome { kDigest, kUnopenable, kReadError, kStopped };
  Outcome outcome = Outcome::kUnopenable;
  std::string hex;  // 32 lower-case hexadecimal characters with kDigest, "" otherwise
};

// Reads the file in 4096-byte blocks and publishes progress in hundredths of a percent after each
// block (the last, partial block may take it slightly over 10000). A file that cannot be opened
// simply has no digest and gets repaired; a read error part-way is told apart, since fetching the
// file again would not cure the disk.
// A set stop flag ends the reading at the next block.
FileDigest ComputeFileMd5(const std::string& path, std::atomic<int>& progress, const std::atomic<bool>* stop = nullptr);

}  // namespace bw::app
