#pragma once
#include <array>
#include <cstdint>

namespace bw {

constexpr int kUdpTagSize = 8;
constexpr int kUdpIdentitySize = 12;
using UdpIdentity = std::array<uint8_t, kUdpIdentitySize>;
// Follows the tag in an identity, and so marks a peer id that carries one at bytes 16 to 18.
constexpr uint8_t kUdpMark[3] = {'U', 'D', 'P'};

// An engine's name on the UDP transport: its 8-byte tag (no zero in the first two bytes), "UDP",
// and the setting byte. The same 12 bytes stand in the BitTorrent peer id.
UdpIdentity MakeUdpIdentity(const uint8_t* tag);

// A tag learned from a compact peer list, where the engine's real tag is not known yet: two zero
// bytes, then the address and port.
bool IsUnknownUdpTag(const uint8_t* tag);

}  // namespace bw
