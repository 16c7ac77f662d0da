#include "engine/task/TTaskSettings.h"

namespace bw {
namespace {

void Clamp(int32_t& value, int32_t low, int32_t high, int32_t fallback) {
  if (value < low || value > high) value = fallback;
}

}  // namespace

void TTaskSettings::Normalise() {
  Clamp(maxConnections, 1, 20480, 52);
  Clamp(minUrlConnections, 1, 20, 1);
  Clamp(setting2, 1, 8000, 64);
  Clamp(seedHours, 0, 20480, 12);
  Clamp(downloadLimitKiB, 0, 32766, 0);
  Clamp(uploadLimitKiB, 0, 32766, 0);
  Clamp(setting8, 0, 32766, 0);
}

}  // namespace bw
