// Proxy answers to a tunnel request. The first byte picks the proxy kind; the rest is the reply,
// offered the way a socket sees it: growing a byte at a time, then in one piece.
#include <cstddef>
#include <cstdint>

#include "engine/net/ProxyProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint32_t type = data[0] % 5;
  const uint8_t* reply = data + 1;
  const size_t len = size - 1;
  for (size_t n = 0; n <= len; ++n) {
    const int64_t r = bw::ParseProxyReply(type, reply, n);
    if (r > static_cast<int64_t>(n) || r == 0 || r < bw::kProxyReplyIncomplete) __builtin_trap();
  }
  return 0;
}
