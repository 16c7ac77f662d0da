#include "engine/frame/CBrightwillowLogApi.h"

#include <cstdarg>
#include <cstdio>

#include "platform/Clock.h"
#include "platform/DebugOutput.h"

namespace bw {
namespace {

constexpr const char* kSuffixes[CBrightwillowLogApi::kFileCount] = {
    ".log",          ".req.log",      ".dump.log",   ".checktask.log", ".peerprefer.log", ".dataupload.log",
    ".httptrace.log", ".checkpeer.log", ".written.log", ".sha1check.log", ".peerinfo.log"};

// Channel of each file from index 1 on; every other channel goes to file 0.
constexpr int kChannels[CBrightwillowLogApi::kFileCount] = {-1, 4, 38, 37, 18, 28, 25, 9, 29, 30, 31};

}  // namespace

CBrightwillowLogApi::CBrightwillowLogApi() { SetBasePath(""); }

int CBrightwillowLogApi::FileIndex(int channel) {
  for (int i = 1; i < kFileCount; ++i) {
    if (kChannels[i] == channel) return i;
  }
  return 0;
}

void CBrightwillowLogApi::SetLevels(int fileLevel, int debugLevel) {
  fileLevel_.store(fileLevel);
  debugLevel_.store(debugLevel);
}

void CBrightwillowLogApi::SetBasePath(const char* base) {
  std::lock_guard<std::mutex> hold(guard_);
  for (int i = 0; i < kFileCount; ++i) paths_[i] = std::string(base ? base : "") + kSuffixes[i];
}

void CBrightwillowLogApi::Write(const char* text, int channel, int level) {
  const int fileLevel = fileLevel_.load();
  const int debugLevel = debugLevel_.load();
  if (fileLevel == kSilent && debugLevel == kSilent) return;
  if (level < debugLevel && channel < fileLevel) return;

  std::lock_guard<std::mutex> hold(guard_);
  char stamp[64];
  platform::FormatLocalTime(stamp, sizeof stamp, "%X");
  char line[kLineSize];
  std::snprintf(line, sizeof line, "[%s] [%s]\n", stamp, text ? text : "");
  if (level >= debugLevel) platform::DebugOutput(line);
  if (channel >= fileLevel && debugLevel != kSilent) {
    if (FILE* file = std::fopen(paths_[FileIndex(channel)].c_str(), "a+")) {
      std::fprintf(file, "%s", line);
      std::fclose(file);
    }
  }
}

void CBrightwillowLogApi::DebugPrintf(const char* format, ...) {
  std::lock_guard<std::mutex> hold(guard_);
  char text[kLineSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  char stamp[64];
  platform::FormatLocalTime(stamp, sizeof stamp, "%Y-%m-%d %X");
  char line[sizeof stamp + sizeof text + 8];
  std::snprintf(line, sizeof line, "[%s] [%s]\r\n", stamp, text);
  platform::DebugOutput(line);
}

}  // namespace bw
