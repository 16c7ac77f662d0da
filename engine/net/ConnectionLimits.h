#pragma once
#include <cstdint>

namespace bw {

// Connects in progress that the pool allows at most, whatever the system tolerates.
constexpr int32_t kMaxHalfOpen = 32;
constexpr int32_t kNoDriverFile = -2;

// The operating system's limit of connects in progress as its TCP driver file states it, or a
// negative code. This platform's TCP stack keeps no such limit and has no driver file to read:
// the answer is always kNoDriverFile.
int32_t QueryHalfOpenLimit();

// The pool's limit from a query's result: two below the system's, kMaxHalfOpen when that is not
// positive (a failed query), and never above kMaxHalfOpen.
int32_t HalfOpenLimitFrom(int32_t queried);

// The process-wide limit, set when the first task registers.
void SetHalfOpenLimit(int32_t limit);
int32_t HalfOpenLimit();

}  // namespace bw
