#include "engine/task/TLoopRest.h"

#include <algorithm>
#include <chrono>

namespace bw {
namespace {

// A stop request of the whole engine comes without a wake: this bounds how long it waits.
constexpr uint32_t kCheckMs = 250;

}  // namespace

void TLoopRest::Rest(uint32_t ms, const std::function<bool()>& keepResting) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  std::unique_lock<std::mutex> guard(mutex_);
  while (!wakePending_) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= until) break;
    const auto slice = std::min<std::chrono::steady_clock::duration>(until - now, std::chrono::milliseconds(kCheckMs));
    if (woken_.wait_for(guard, slice, [this] { return wakePending_; })) break;
    guard.unlock();
    const bool keep = keepResting();
    guard.lock();
    if (!keep) break;
  }
  wakePending_ = false;
}

void TLoopRest::Wake() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    wakePending_ = true;
  }
  woken_.notify_one();
}

}  // namespace bw
