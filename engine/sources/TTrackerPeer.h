#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/net/QUdpSocket.h"
#include "engine/sources/TPeerObject.h"

namespace bw {

struct TrackerAnswer;

// One announce of the task to one tracker, whose answer becomes BitTorrent identities.
class TTrackerPeer : public TPeerObject {
 public:
  // Any other mode announces "stopped".
  enum AnnounceMode : int32_t { kCompleted = 1, kStarted = 2 };
  // A request without its answer is sent again after this many seconds.
  static constexpr uint64_t kRepeatSeconds = 11;
  // A tracker that has not answered in this many seconds is given up for this round.
  static constexpr uint64_t kAnswerTimeout = 60;
  // The UDP tracker protocol's greeting constant.
  static constexpr uint64_t kUdpProtocolId = 0x0000041727101980ull;
  static constexpr int64_t kMaxDatagram = 2048;
  static constexpr uint32_t kWantedPeers = 200;

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
  // Sends the announce once the tracker can take it.
  bool PlanRequests() override;
  bool FlushOutput() override;
  void Reset() override;
  // A UDP tracker is talked to without a link: pending work counts as connected too.
  bool IsConnected() override;
  bool InDialogue() const override { return true; }

  // The 104 bytes of a UDP announce request.
  static std::vector<uint8_t> EncodeUdpAnnounce(const UdpAnnounce& packet);
  // The HTTP announce's request target: the tracker's path (its query left out) and the
  // announce's parameters.
  static std::string BuildAnnounceTarget(const std::string& path, const TAnnounceFacts& facts, int32_t mode);

  // Chosen at creation; a reused peer keeps announcing the same event.
  int32_t announceMode;
  QUdpSocket udp;
  std::vector<uint8_t> reply;     // HTTP: the answer received so far
  uint32_t lastActivity = 0;      // engine clock of the last step
  uint64_t lastSendTime = 0;      // 0 before any announce
  std::string announceTarget;     // built once per announce
  UdpAnnounce packet;

 private:
  bool OverUdp() const;
  bool SendUdpConnect();
  bool SendUdpAnnounce(const TAnnounceFacts& facts);
  bool SendHttpAnnounce(const TAnnounceFacts& facts);
  bool ReadHttp();
  bool ReadUdp();
  // Hands the answer's peers to the task and files the report; the announce is done.
  void UseAnswer(const TrackerAnswer& answer);

  uint32_t connectTransaction_ = 0;
  uint64_t lastConnectSent_ = 0;
};

}  // namespace bw
