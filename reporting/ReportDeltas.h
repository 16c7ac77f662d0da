#pragma once
#include <cstdint>
#include <mutex>

namespace bw {

// How much the four running totals of the reports grew since the previous report, shared by all
// reports. A total of 0 says nothing: its delta is 0 and the previous value stays. A total below
// its previous value (a new download) counts as no growth and becomes the previous value.
class ReportDeltas {
 public:
  struct Totals {
    uint32_t seconds = 0;
    uint64_t bytes = 0;
    uint64_t httpBytes = 0;
    uint64_t p2pBytes = 0;
  };

  // The deltas of current; current becomes the previous values.
  Totals Advance(const Totals& current);

 private:
  std::mutex guard_;  // reports come from several threads
  Totals previous_;
};

}  // namespace bw
