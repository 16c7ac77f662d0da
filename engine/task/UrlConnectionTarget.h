#pragma once
#include <cstdint>

namespace bw {

// How many connections a URL source may have now. A fast mirror gains nothing from more
// connections but memory and work; one that holds each connection to a rate is only filled by
// several. So a source opens its first connections alone, and more in steps while each step
// shows that its connections are held to a rate and that the mirror still has room: the last
// step's connections brought at least half of what those before them promised.
struct UrlConnectionFacts {
  int32_t active = 0;     // connections open or opening
  int32_t least = 1;      // the task's minimum per source
  int32_t allowance = 1;  // what the source may have at most
  int32_t settled = 0;    // connections that have run long enough to show their rate
  int32_t fast = 0;       // settled ones at or above kHeldConnectionRate
  int64_t rate = 0;       // bytes per second of the settled ones together
  int32_t stepFrom = 0;   // connections when the source last stepped up (0: never)
  int64_t stepRate = 0;   // their rate together then
};

// A URL connection slower than this is taken to be held to a rate by the mirror or the path.
constexpr int64_t kHeldConnectionRate = int64_t{8} << 20;
// A connection's rate counts once it has run this long.
constexpr uint32_t kRateSettleMs = 500;
// Each step multiplies the connections by this much at most.
constexpr int32_t kConnectionStep = 4;

int32_t UrlConnectionTarget(const UrlConnectionFacts& facts);

}  // namespace bw
