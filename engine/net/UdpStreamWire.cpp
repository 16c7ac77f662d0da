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

void PutAckFlags(uint8_t* packet, int slots, const bool* held) {
  StoreBe32(packet + kStreamHeaderSize, static_cast<uint32_t>(slots));
  uint8_t* bits = packet + kStreamHeaderSize + 4;
  for (int i = 0; i < slots; ++i) {
    if (!held[i]) continue;
    if (i < kAckHeaderFlags) packet[kAckFlagsOffset + i] = 1;
    bits[i / 8] = static_cast<uint8_t>(bits[i / 8] | (1u << (i % 8)));
  }
}

AckFlags::AckFlags(const uint8_t* packet, size_t length) : packet_(packet) {
  if (length < AckLength(0)) return;
  const uint32_t slots = LoadBe32(packet + kStreamHeaderSize);
  // An extension that does not match its length is ignored, not trusted in part.
  if (slots == 0 || slots > kMaxAckSlots || length != AckLength(static_cast<int>(slots))) return;
  slots_ = static_cast<int>(slots);
  extended_ = true;
}

bool AckFlags::Held(uint32_t slot) const {
  if (slot >= static_cast<uint32_t>(slots_)) return false;
  if (!extended_) return packet_[kAckFlagsOffset + slot] != 0;
  return (packet_[kStreamHeaderSize + 4 + slot / 8] >> (slot % 8)) & 1;
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
