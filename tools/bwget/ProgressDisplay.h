#pragma once
// How a running download shows itself: a bar rewritten in place on standard error, one JSON
// object a second on standard output, or nothing.
#include <chrono>
#include <cstdint>
#include <string>

#include "engine/api/EngineApi.h"
#include "tools/bwget/Options.h"

namespace bwget {

class ProgressDisplay {
 public:
  using Clock = std::chrono::steady_clock;

  explicit ProgressDisplay(ProgressStyle style) : style_(style) {}

  // Called at every poll; each style draws at its own pace.
  void Update(const bw::TaskProgress& progress, Clock::time_point now);
  // Draws the last figures and ends the bar's line.
  void Close(const bw::TaskProgress& progress);
  // A line on standard error that does not run into the bar.
  void Message(const std::string& text);

 private:
  void DrawBar(const bw::TaskProgress& progress);
  void WriteJson(const bw::TaskProgress& progress);

  ProgressStyle style_;
  Clock::time_point lastJson_{};
  size_t barWidth_ = 0;  // characters of the bar line on screen, 0 when none
};

// "512 B", "1.5 MiB"
std::string FormatBytes(uint64_t bytes);

}  // namespace bwget
