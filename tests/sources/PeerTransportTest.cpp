#include "engine/sources/PeerTransport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

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

TEST(PeerTransportTest, TagComesFromTheEngineIdOrTheCompactListForm) {
  TPeerId fromList;
  fromList.ip = inet_addr("10.1.2.3");
  std::memcpy(fromList.peerIdBytes + 14, &fromList.ip, 4);
  fromList.peerIdBytes[18] = 0x1A;
  fromList.peerIdBytes[19] = 0xE1;
  uint8_t tag[8];
  UdpTagOf(fromList, tag);
  const uint8_t listTag[8] = {0, 0, 10, 1, 2, 3, 0x1A, 0xE1};
  EXPECT_EQ(std::memcmp(tag, listTag, 8), 0);

  fromList.ip = inet_addr("10.9.9.9");  // the address in the id is not the peer's: an engine id
  UdpTagOf(fromList, tag);
  EXPECT_EQ(std::memcmp(tag, fromList.peerIdBytes + 8, 8), 0);

  TPeerId handshake;
  const uint8_t id[20] = {0, 1, 'B', 'w', 9, 9, 9, 9, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 'U', 'D', 'P', 48};
  std::memcpy(handshake.peerIdBytes, id, 20);
  UdpTagOf(handshake, tag);
  EXPECT_EQ(std::memcmp(tag, id + 8, 8), 0);
}

}  // namespace
}  // namespace bw
