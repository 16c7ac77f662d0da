#pragma once
#include <cstddef>
#include <cstdint>

namespace platform {

// Milliseconds of a monotonic clock, kept in 32 bits so that it wraps like the system tick
// counter the engine was built around (about every 49.7 days).
uint32_t TickCountMs();

// Wall-clock time in seconds since 1970.
uint64_t SystemTimeSeconds();

// The current local time formatted by strftime rules into buf (always terminated when size > 0);
// returns the length written, 0 on failure.
size_t FormatLocalTime(char* buf, size_t size, const char* format);

}  // namespace platform
