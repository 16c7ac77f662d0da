#include "engine/net/ConnectionLimits.h"

#include <algorithm>
#include <atomic>

namespace bw {
namespace {

std::atomic<int32_t> halfOpenLimit{kMaxHalfOpen};

}  // namespace

int32_t QueryHalfOpenLimit() { return kNoDriverFile; }

int32_t HalfOpenLimitFrom(int32_t queried) {
  const int32_t limit = queried - 2;
  return limit > 0 ? std::min(limit, kMaxHalfOpen) : kMaxHalfOpen;
}

void SetHalfOpenLimit(int32_t limit) { halfOpenLimit.store(limit); }

int32_t HalfOpenLimit() { return halfOpenLimit.load(); }

}  // namespace bw
