// Filter files: whatever lines they hold, the ranges kept never overlap, each runs forwards, and
// every address a range holds is blocked.
#include <cstddef>
#include <cstdint>

#include "engine/net/CIPFilter.h"
#include "engine/net/NetAddress.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  bw::CIPFilter filter;
  const int32_t added = filter.ReadRanges(reinterpret_cast<const char*>(data), size);
  Check(added == static_cast<int32_t>(filter.Ranges().size()));
  int64_t previousLast = -1;
  for (const auto& [last, first] : filter.Ranges()) {
    Check(first <= last && static_cast<int64_t>(first) > previousLast);
    Check(filter.IsBlocked(bw::HostToNet32(first)) && filter.IsBlocked(bw::HostToNet32(last)));
    if (first > 0 && static_cast<int64_t>(first) - 1 != previousLast) {
      Check(!filter.IsBlocked(bw::HostToNet32(first - 1)));
    }
    previousLast = last;
  }
  return 0;
}
