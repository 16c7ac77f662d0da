#pragma once
#include <cstdint>

namespace bw {

// A task's settings block with its defaults. Normalise puts every limit that is out of range back
// to its default; it runs whenever a limit changes and when the piece map is created.
struct TTaskSettings {
  int32_t maxConnections = 52;
  int32_t minUrlConnections = 1;
  int32_t setting2 = 64;
  int32_t setting3 = 1;
  int32_t seedHours = 12;
  int32_t downloadLimitKiB = 0;  // 0 = unlimited
  int32_t uploadLimitKiB = 0;    // 0 = unlimited
  uint8_t options1[4] = {1, 1, 1, 0};
  int32_t setting8 = 0;
  uint8_t options2[6] = {1, 0, 0, 0, 0, 0};
  int32_t setting10 = 32;
  int32_t metadataTimeout = 45;  // seconds from thread start within which the total must be known

  bool QuickStart() const { return options2[4] != 0; }
  void Normalise();
};

}  // namespace bw
