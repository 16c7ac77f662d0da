#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/net/QUdpSocket.h"
#include "engine/task/LanMessage.h"

namespace bw {

// A peer that LAN discovery found for a task. ip in network order.
struct LanPeer {
  uint32_t ip = 0;
  int port = 0;
  std::array<uint8_t, 20> peerId{};
};

// What a pass needs to know of the task it runs for.
struct LanTaskFacts {
  const void* task = nullptr;
  const uint8_t* infoHash = nullptr;  // 20 bytes
  const uint8_t* peerId = nullptr;    // 20 bytes
  int listenPort = 0;
  size_t taskCount = 1;  // registered tasks: an announcement all of them have seen is dropped
};

// The process-wide multicast socket through which engines on one network find each other's
// swarms: each task queries once for its info hash, answers queries for it, and takes the
// senders as peers. Messages for the swarms of other tasks wait in the announcement list until
// those tasks look.
class LanDiscovery {
 public:
  static constexpr int kDefaultPort = 31576;
  // One fixed, administratively scoped group (organisation-local 239.192/14).
  static constexpr uint8_t kGroup[4] = {239, 192, 31, 76};
  // The answers and queries stay on the local network.
  static constexpr int kTimeToLive = 1;
  // A flood must not hold the registry lock for long: the rest waits for the next pass.
  static constexpr int kDatagramsPerPass = 64;
  static constexpr uint64_t kAnnouncementSeconds = 30;
  static constexpr size_t kMaxAnnouncements = 256;

  static LanDiscovery& Process();
  static uint32_t GroupAddress();

  LanDiscovery() = default;
  LanDiscovery(const LanDiscovery&) = delete;
  LanDiscovery& operator=(const LanDiscovery&) = delete;

  // Binds the port of the settings (shared with other instances on this host) and joins the
  // group on the configured interface, or on the local address; true when joined.
  bool Join();
  bool Joined();

  // One pass for a task, every 10 seconds: the first one sends its query (twice), later ones
  // read what arrived; returns the peers found for the task.
  std::vector<LanPeer> Pass(const LanTaskFacts& task, bool& announced, uint64_t nowSec);

  // One datagram from fromIp, handled for the task or kept for another task's swarm.
  void OnDatagram(const LanTaskFacts& task, const uint8_t* data, size_t len, uint32_t fromIp, uint64_t nowSec,
                  std::vector<LanPeer>& found);

  size_t AnnouncementCount();

  // The last task is gone: leaves the group and forgets the announcements until Resume.
  void Stop();
  void Resume();

 private:
  struct Announcement {
    LanMessage message;
    uint32_t fromIp = 0;
    uint64_t arrived = 0;
    std::vector<const void*> viewers;
  };

  LanMessage OwnMessage(const LanTaskFacts& task, uint32_t kind) const;
  bool SendToGroup(const LanMessage& message);
  void Handle(const LanTaskFacts& task, const LanMessage& message, uint32_t fromIp, std::vector<LanPeer>& found);
  void Receive(const LanTaskFacts& task, bool& announced, uint64_t nowSec, std::vector<LanPeer>& found);
  void WalkAnnouncements(const LanTaskFacts& task, uint64_t nowSec, std::vector<LanPeer>& found);
  void Leave();

  QUdpSocket socket_;
  bool joined_ = false;
  bool stopped_ = false;
  uint32_t localIp_ = 0;
  int port_ = kDefaultPort;
  std::vector<Announcement> announcements_;
};

}  // namespace bw
