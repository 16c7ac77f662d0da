#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace bw::app {

// What tells that a completed file is still the one that was downloaded: its last-write time
// (100 ns units since 1601, UTC, so a time-zone or daylight-saving change leaves it alone) and
// its size, each stored as two 32-bit halves.
struct Fingerprint {
  uint32_t writeTimeHigh = 0;
  uint32_t writeTimeLow = 0;
  uint32_t sizeHigh = 0;
  uint32_t sizeLow = 0;
};

// Empty when the path is not a regular file.
std::optional<Fingerprint> FingerprintOf(const std::string& path);

}  // namespace bw::app
