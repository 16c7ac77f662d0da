#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/sources/TPeerObject.h"

namespace bw {

// One announce of the task to one tracker, whose answer becomes BitTorrent identities.
class TTrackerPeer : public TPeerObject {
 public:
  // Any other mode announces "stopped".
  enum AnnounceMode : int32_t { kCompleted = 1, kStarted = 2 };

  // The fields of a UDP announce request, in their order on the wire.
  struct UdpAnnounce {
    uint64_t connectionId = 0;
    uint32_t action = 0;
    uint32_t transactionId = 0;
    std::array<uint8_t, 20> infoHash{};
    std::array<uint8_t, 20> peerId{};
    uint64_t downloaded = 0;
    uint64_t left = 0;
    uint64_t uploaded = 0;
    uint32_t event = 0;
    uint32_t ip = 0;
    uint32_t key = 0;
    uint32_t wantedPeers = 0;
    uint16_t port = 0;
    std::array<uint8_t, 2> extra{};
  };

  TTrackerPeer(IPeerTask* task, int32_t announceMode) : TPeerObject(8, task), announceMode(announceMode) {}

  bool ConnectTo(TPeerId* peerId) override;
  bool ReadInput() override;
  void Reset() override;
  // A UDP tracker is talked to without a link: pending work counts as connected too.
  bool IsConnected() override;

  // Chosen at creation; a reused peer keeps announcing the same event.
  int32_t announceMode;
  std::vector<uint8_t> reply;     // the UDP answer received so far
  uint32_t lastActivity = 0;      // engine clock of the last step
  uint64_t lastSendTime = 0;      // 0 before any announce
  std::string announceTarget;     // built once per announce
  UdpAnnounce packet;
};

}  // namespace bw
