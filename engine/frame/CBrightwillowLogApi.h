#pragma once
#include <array>
#include <atomic>
#include <mutex>
#include <string>

#include "engine/frame/CBrightwillowLog.h"

namespace bw {

// Writes lines into eleven files that share one base path. A channel at or above fileLevel goes
// to its file, a level at or above debugLevel to the debugger output; 39 for both is silence.
// Files are opened and closed for every line so other processes can read them at any time.
class CBrightwillowLogApi : public CBrightwillowLog {
 public:
  static constexpr int kFileCount = 11;
  static constexpr int kSilent = 39;
  static constexpr size_t kLineSize = 4096;

  CBrightwillowLogApi();

  void SetLevels(int fileLevel, int debugLevel) override;
  void SetBasePath(const char* base) override;
  void Write(const char* text, int channel, int level) override;
  void DebugPrintf(const char* format, ...) override __attribute__((format(printf, 2, 3)));


 private:
  static int FileIndex(int channel);

  std::atomic<int> fileLevel_{38};
  std::atomic<int> debugLevel_{2};
  std::mutex guard_;
  std::array<std::string, kFileCount> paths_;  // under guard_
};

}  // namespace bw
