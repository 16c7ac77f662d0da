#pragma once
#include <cstddef>
#include <cstdint>

namespace bw {

// Datagram layout of the stream transport over UDP: a 64-byte header of 4-byte big-endian fields,
// then (data packets only) the payload.
constexpr int kStreamHeaderSize = 64;
constexpr int kStreamMaxPayload = 1320;
constexpr int kStreamSmallPayload = 660;

enum StreamPacketType : uint32_t {
  kUdpSyn = 1,
  kUdpData = 2,
  kUdpReject = 3,
  kUdpAck = 16,
  kUdpSynAck = 0x00010001,
  kUdpKeepAlive = 0x00010002,
  kUdpFin = 0x80000000,
  kUdpEstablish = 0x80010001,
  kUdpDataAck = 0x80000002,
};

enum StreamHeaderOffset : int {
  kOffLength = 0,
  kOffChecksum = 4,
  kOffConnection = 8,
  kOffSequence = 12,
  kOffType = 16,
  kOffIdentity = 20,
  kOffBody = 32,
};

// An acknowledgement holds one flag byte per reorder slot in its header (offsets 40 to 63). A
// receiver with more slots adds, after the header, its slot count (4 bytes) and one bit per slot
// (slot i in bit i % 8 of byte i / 8); an engine that knows only the header reads its flags.
constexpr int kAckHeaderFlags = 24;
constexpr int kAckFlagsOffset = 40;
// The most slots an acknowledgement may announce: the largest one still fits any datagram read.
constexpr int kMaxAckSlots = 4096;

constexpr uint32_t AckLength(int slots) {
  return static_cast<uint32_t>(kStreamHeaderSize + 4 + (slots + 7) / 8);
}

// Writes the flags of an acknowledgement of AckLength(slots) bytes (body zeroed beforehand).
void PutAckFlags(uint8_t* packet, int slots, const bool* held);

// The flags of a received acknowledgement, extended or not.
class AckFlags {
 public:
  AckFlags(const uint8_t* packet, size_t length);
  // The slots the sender of the acknowledgement holds: kAckHeaderFlags without the extension.
  int Slots() const { return slots_; }
  bool Extended() const { return extended_; }
  bool Held(uint32_t slot) const;

 private:
  const uint8_t* packet_;
  int slots_ = kAckHeaderFlags;
  bool extended_ = false;
};

// Types with the top bit set carry the remote side's epoch instead of the sender's counter.
inline bool CarriesEpoch(uint32_t type) { return (type & 0x80000000u) != 0; }

// Fills the common header of a packet whose body (from offset 32) is in place, and seals it: the
// checksum covers the body and starts from the connection identifier.
void SealStreamPacket(uint8_t* packet, uint32_t length, uint32_t connection, uint32_t sequence,
                      uint32_t type, const uint8_t* receiverIdentity);

// A datagram that is a stream packet for the engine with this tag: long enough, its stated length
// the datagram's, a connection identifier, and an intact checksum.
bool IsStreamPacketFor(const uint8_t* datagram, size_t length, const uint8_t* ownTag);

// The first 4 bytes positive and at least a header: the datagram belongs to the stream transport
// rather than to the rendezvous protocol.
bool LooksLikeStreamPacket(const uint8_t* datagram, size_t length);

}  // namespace bw
