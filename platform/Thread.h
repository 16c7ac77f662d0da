#pragma once
#include <cstdint>

namespace platform {

// Kernel thread id of the caller; never 0, so 0 can mean "no thread".
uint32_t CurrentThreadId();

void SleepMs(uint32_t ms);

}  // namespace platform
