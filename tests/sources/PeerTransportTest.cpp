#include "engine/sources/PeerTransport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace bw {
namespace {

TEST(PeerTransportTest, AttemptsRotateThroughUdpOnlyForEagerPeersWhenAllowed) {
  const struct {
    int32_t priority, attempts;
    bool tcpRefused, allowed, udp, withoutBackOff;
  } cases[] = {
      {30, 3, false, true, true, false},   {30, 4, false, true, false, false},
      {30, 5, false, true, false, false},  {30, 6, false, true, true, false},
      {34, 3, false, true, true, false},   {35, 3, false, true, false, false},  // not eager enough
      {30, 3, false, false, false, false},  // no public address, or reachable over TCP
      // TCP refused: UDP next, whatever the rotation says, and without a back-off first
      {30, 2, true, true, true, true},     {30, 5, true, true, true, true},
      {30, 3, true, true, true, true},
      {35, 2, true, true, false, false},   {30, 2, true, false, false, false},
  };
  for (const auto& c : cases) {
    TPeerId id;
    id.priority = c.priority;
    id.attempts = c.attempts;
    id.tcpRefused = c.tcpRefused;
    EXPECT_EQ(ConnectsOverUdp(id, c.allowed), c.udp)
        << c.priority << " " << c.attempts << " " << c.tcpRefused << " " << c.allowed;
    EXPECT_EQ(RetriesOverUdp(id, c.allowed), c.withoutBackOff)
        << c.priority << " " << c.attempts << " " << c.tcpRefused << " " << c.allowed;
  }
}

// Only a peer id that carries an engine identity names the engine; any other peer is asked for
// by its address and listen port.
TEST(PeerTransportTest, TagComesFromTheEngineIdElseFromTheAddressAndPort) {
  const uint8_t engineId[20] = {0, 1, 'B', 'w', 9, 9, 9, 9, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 'U', 'D', 'P', 48};
  const uint8_t byAddress[8] = {0, 0, 10, 1, 2, 3, 0x1A, 0xE1};
  const auto compact = [](bool enginePrefix) {
    std::array<uint8_t, 20> id{};
    if (enginePrefix) std::memcpy(id.data(), "\x00\x01" "Bw", 4);
    const uint8_t at[6] = {10, 1, 2, 3, 0x1A, 0xE1};
    std::memcpy(id.data() + 14, at, 6);
    return id;
  };
  const auto other = [] {
    std::array<uint8_t, 20> id;
    std::memcpy(id.data(), "-lt0D60-abcdefghijkl", 20);
    return id;
  };
  const struct {
    const char* name;
    std::array<uint8_t, 20> peerId;
    const uint8_t* tag;
  } cases[] = {
      {"engine", std::to_array(engineId), engineId + 8},
      {"compact list", compact(false), byAddress},
      {"compact list, taken into the pool", compact(true), byAddress},
      {"source line", {}, byAddress},
      {"another client", other(), byAddress},
  };
  for (const auto& c : cases) {
    TPeerId id;
    id.ip = inet_addr("10.1.2.3");
    id.port = 0x1AE1;
    std::memcpy(id.peerIdBytes, c.peerId.data(), 20);
    uint8_t tag[8];
    UdpTagOf(id, tag);
    EXPECT_EQ(std::memcmp(tag, c.tag, 8), 0) << c.name;
  }
}

}  // namespace
}  // namespace bw
