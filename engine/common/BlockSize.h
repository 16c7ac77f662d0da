#pragma once

#include <cstdint>

namespace bw {

// The unit of transfer everywhere: requests, the memory cache, pending blocks and the
// BitTorrent wire all count in blocks of this size.
constexpr int32_t kBlockSize = 16384;

}  // namespace bw
