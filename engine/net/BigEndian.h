#pragma once
#include <cstdint>

namespace bw {

// Datagram fields of the UDP transport and the rendezvous messages are 4-byte big-endian.
inline uint32_t LoadBe32(const uint8_t* at) {
  return (uint32_t{at[0]} << 24) | (uint32_t{at[1]} << 16) | (uint32_t{at[2]} << 8) | at[3];
}

inline void StoreBe32(uint8_t* at, uint32_t v) {
  at[0] = static_cast<uint8_t>(v >> 24);
  at[1] = static_cast<uint8_t>(v >> 16);
  at[2] = static_cast<uint8_t>(v >> 8);
  at[3] = static_cast<uint8_t>(v);
}

}  // namespace bw
