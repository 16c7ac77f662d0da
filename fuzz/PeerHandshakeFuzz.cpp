// The first bytes of a BitTorrent connection: an optional HTTP header to skip, then the handshake.
// The skip never passes the held bytes nor the disguise window, and stays the same as more
// bytes arrive once it is decided.
#include <cstddef>
#include <cstdint>

#include "engine/sources/BTWire.h"
#include "fuzz/FuzzCheck.h"

using bw::fuzz::Check;
namespace btwire = bw::btwire;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int64_t skip = btwire::DisguiseLength(data, size);
  Check(skip >= -1 && skip <= static_cast<int64_t>(size) && skip <= static_cast<int64_t>(btwire::kDisguiseMax + 4));
  int64_t decided = -1;
  size_t decidedAt = 0;
  for (size_t n = 0; n <= size; ++n) {
    const int64_t now = btwire::DisguiseLength(data, n);
    if (decided < 0 && now >= 0) {
      decided = now;
      decidedAt = n;
    }
    if (decided >= 0 && n >= decidedAt) Check(now == decided);
  }
  if (skip >= 0) {
    static constexpr uint8_t kHash[20] = {};
    btwire::NamesHash(data + skip, size - static_cast<size_t>(skip), kHash);
  }
  return 0;
}
