#pragma once
#include <atomic>

namespace bw {

// The listener's port when none is set.
constexpr int kDefaultListenPort = 8080;

// Process-wide switches that the entry points set and the tasks read.
struct EngineSettings {
  std::atomic<bool> p2pEnabled{true};
  std::atomic<bool> btHttpDisguise{false};
  std::atomic<int> listenPort{0};  // 0: the listener uses its default
};

EngineSettings& ProcessSettings();

}  // namespace bw
