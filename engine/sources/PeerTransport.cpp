#include "engine/sources/PeerTransport.h"

#include <cstring>

#include "engine/net/UdpIdentity.h"

namespace bw {

bool ConnectsOverUdp(const TPeerId& id, bool udpAllowed) {
  return udpAllowed && id.priority <= kMaxUdpPriority && (id.attempts % 3 == 0 || id.tcpRefused);
}

bool RetriesOverUdp(const TPeerId& id, bool udpAllowed) {
  return udpAllowed && id.priority <= kMaxUdpPriority && id.tcpRefused;
}

void UdpTagOf(const TPeerId& id, uint8_t* tag) {
  const uint8_t* p = id.peerIdBytes;
  if (std::memcmp(p + 16, kUdpMark, sizeof kUdpMark) == 0) {
    std::memcpy(tag, p + 8, 8);
    return;
  }
  tag[0] = tag[1] = 0;
  std::memcpy(tag + 2, &id.ip, 4);
  tag[6] = static_cast<uint8_t>(id.port >> 8);
  tag[7] = static_cast<uint8_t>(id.port);
}

}  // namespace bw
