// The bytes an accepted connection sent before any task claimed it, and its age (first two
// bytes, in tens of milliseconds). A verdict on a handshake does not change as more bytes
// arrive, a young connection is never expired, and a connection is claimed only by a handshake
// naming the asking task's hash.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/task/PendingRoute.h"
#include "fuzz/FuzzCheck.h"

using bw::PendingVerdict;
using bw::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint64_t ageMs = (static_cast<uint64_t>(data[0]) << 8 | data[1]) * 10;
  data += 2;
  size -= 2;
  static constexpr uint8_t kOwn[20] = {'o', 'w', 'n'};
  static constexpr uint8_t kOther[20] = {'o', 't', 'h', 'e', 'r'};
  const auto known = [](const uint8_t* hash) { return std::memcmp(hash, kOther, 20) == 0; };
  PendingVerdict decided = PendingVerdict::kWait;
  for (size_t n = 0; n <= size; ++n) {
    const PendingVerdict verdict = bw::RoutePending(data, n, ageMs, kOwn, known);
    if (ageMs < bw::PendingRules::kPatienceMs) Check(verdict != PendingVerdict::kExpired);
    if (decided == PendingVerdict::kOwn || decided == PendingVerdict::kUnknownHash) Check(verdict == decided);
    if (verdict == PendingVerdict::kOwn) {
      const int64_t skip = bw::HandshakeOffset(data, n);
      Check(skip >= 0 && n - static_cast<size_t>(skip) >= 48 &&
            std::memcmp(data + skip + 28, kOwn, 20) == 0);
    }
    if (decided == PendingVerdict::kWait) decided = verdict;
  }
  Check(bw::RoutePending(data, size, ageMs, nullptr, known) != PendingVerdict::kOwn);
  return 0;
}
