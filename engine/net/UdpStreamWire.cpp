#include "engine/net/UdpStreamWire.h"

#include <cstring>

#include "engine/common/Adler32.h"
#include "engine/net/BigEndian.h"
#include "engine/net/UdpIdentity.h"

namespace bw {

void SealStreamPacket(uint8_t* packet, uint32_t length, uint32_t connection, uint32_t sequence,
                      uint32_t type, const uint8_t* receiverIdentity) {
  StoreBe32(packet + kOffLength, length);
  StoreBe32(packet + kOffConnection, connection);
  StoreBe32(packet + kOffSequence, sequence);
  StoreBe32(packet + kOffType, type);
  std::memcpy(packet + kOffIdentity, receiverIdentity, kUdpIdentitySize);
  StoreBe32(packet + kOffChecksum, Adler32(connection, packet + kOffBody, length - kOffBody));
}

bool LooksLikeStreamPacket(const uint8_t* datagram, size_t length) {
  return length >= kStreamHeaderSize && static_cast<int32_t>(LoadBe32(datagram)) > 0;
}

bool IsStreamPacketFor(const uint8_t* datagram, size_t length, const uint8_t* ownTag) {
  if (!LooksLikeStreamPacket(datagram, length) || LoadBe32(datagram + kOffLength) != length) {
    return false;
  }
  const uint32_t connection = LoadBe32(datagram + kOffConnection);
  if (connection == 0 || std::memcmp(datagram + kOffIdentity, ownTag, kUdpTagSize) != 0) return false;
  return Adler32(connection, datagram + kOffBody, length - kOffBody) ==
         LoadBe32(datagram + kOffChecksum);
}

}  // namespace bw
