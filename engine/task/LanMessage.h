#pragma once
#include <cstddef>
#include <cstdint>

namespace bw {

// The 56-byte datagram by which engines on one network find each other's swarms: a zero word,
// the sender's IPv4 address and listen port (network order), a zero half-word, the kind (a
// little-endian word), the info hash and the sender's peer id.
struct LanMessage {
  static constexpr size_t kSize = 56;
  enum Kind : uint32_t { kQuery = 0, kAnswer = 1 };

  uint32_t ip = 0;  // network order
  uint16_t port = 0;
  uint32_t kind = kQuery;
  uint8_t infoHash[20] = {};
  uint8_t peerId[20] = {};

  // False unless data is exactly one message whose first word is 0.
  static bool Decode(const uint8_t* data, size_t len, LanMessage* out);
  void Encode(uint8_t (&out)[kSize]) const;
};

}  // namespace bw
