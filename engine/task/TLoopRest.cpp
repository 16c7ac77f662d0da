#include "engine/task/TLoopRest.h"

#include <algorithm>
#include <chrono>

namespace bw {
namespace {

// A stop request of the whole engine comes without a wake: this bounds how long it waits.
constexpr uint32_t kCheckMs = 250;

}  // namespace

void TLoopRest::Rest(uint32_t ms, const std::function<bool()>& keepResting) {
  using Clock = std::chrono::steady_clock;
  const auto until = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return;
    const auto slice = std::min<int64_t>(left, kCheckMs);
    if (wait_.Wait({}, static_cast<int>(slice)) || !keepResting()) return;
  }
}

bool TLoopRest::Watch(std::span<platform::SocketWatch> sockets, uint32_t ms) {
  return wait_.Wait(sockets, static_cast<int>(std::min<uint32_t>(ms, INT32_MAX)));
}

}  // namespace bw
