// Datagrams arriving on the LAN discovery socket, one after another: first byte a length, then
// that many bytes, from an address picked by the next byte. The task's swarm is the one the
// first message names, so that both paths (handled at once, kept for another task) are taken.
// A found peer is always where its datagram came from, on a real port, and the announcement
// list stays bounded.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/task/LanDiscovery.h"
#include "fuzz/FuzzCheck.h"

using bw::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t hash[20] = {};
  if (size >= 38) std::memcpy(hash, data + 18, 20);
  static constexpr uint8_t kPeerId[20] = {0, 1, 'B', 'w'};
  int task = 0;
  bw::LanTaskFacts facts;
  facts.task = &task;
  facts.infoHash = hash;
  facts.peerId = kPeerId;
  facts.listenPort = 6881;
  facts.taskCount = 2;
  bw::LanDiscovery lan;  // never joined: answers go nowhere
  size_t at = 0;
  while (at + 2 <= size) {
    const size_t len = data[at];
    const uint32_t from = 0x0100007Fu + (static_cast<uint32_t>(data[at + 1] & 3) << 24);
    at += 2;
    const size_t take = len < size - at ? len : size - at;
    std::vector<bw::LanPeer> found;
    lan.OnDatagram(facts, data + at, take, from, at, found);
    for (const bw::LanPeer& peer : found) Check(peer.ip == from && peer.port > 0 && peer.port <= 65535);
    Check(lan.AnnouncementCount() <= bw::LanDiscovery::kMaxAnnouncements);
    bw::LanMessage message;
    if (bw::LanMessage::Decode(data + at, take, &message)) {
      uint8_t again[bw::LanMessage::kSize];
      message.Encode(again);
      // Only the zero words may differ from what arrived.
      Check(std::memcmp(again + 4, data + at + 4, 6) == 0 && std::memcmp(again + 12, data + at + 12, 44) == 0);
    }
    at += take;
  }
  return 0;
}
