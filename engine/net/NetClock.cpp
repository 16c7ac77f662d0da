#include "engine/net/NetClock.h"

#include <atomic>
#include <chrono>

namespace bw {
namespace {

std::atomic<NetClockSource> gSource{nullptr};

uint64_t SystemSeconds() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

}  // namespace

uint64_t NetClockNow() {
  const NetClockSource source = gSource.load(std::memory_order_acquire);
  return source ? source() : SystemSeconds();
}

NetClockSource SetNetClock(NetClockSource source) {
  return gSource.exchange(source, std::memory_order_acq_rel);
}

}  // namespace bw
