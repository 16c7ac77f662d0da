#include "engine/sources/PeerTransport.h"

#include <algorithm>
#include <cstring>

namespace bw {

bool ConnectsOverUdp(const TPeerId& id, bool udpAllowed) {
  return udpAllowed && id.priority <= kMaxUdpPriority && (id.attempts % 3 == 0 || id.tcpRefused);
}

bool RetriesOverUdp(const TPeerId& id, bool udpAllowed) {
  return udpAllowed && id.priority <= kMaxUdpPriority && id.tcpRefused;
}

void UdpTagOf(const TPeerId& id, uint8_t* tag) {
  const uint8_t* p = id.peerIdBytes;
  const bool compact = std::all_of(p, p + 14, [](uint8_t b) { return b == 0; }) &&
                       std::memcmp(p + 14, &id.ip, 4) == 0;
  std::memcpy(tag, p + (compact ? 12 : 8), 8);
}

}  // namespace bw
