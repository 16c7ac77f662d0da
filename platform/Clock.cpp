#include "platform/Clock.h"

#include <time.h>

namespace platform {

uint32_t TickCountMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

uint64_t SystemTimeSeconds() {
  const time_t now = time(nullptr);
  return now < 0 ? 0 : static_cast<uint64_t>(now);
}

size_t FormatLocalTime(char* buf, size_t size, const char* format) {
  if (!buf || size == 0) return 0;
  buf[0] = '\0';
  const time_t now = time(nullptr);
  tm local{};
  if (!localtime_r(&now, &local)) return 0;
  const size_t n = strftime(buf, size, format, &local);
  if (n == 0) buf[0] = '\0';
  return n;
}

}  // namespace platform
