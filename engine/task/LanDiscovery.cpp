#include "engine/task/LanDiscovery.h"

#include <algorithm>
#include <cstring>

#include "engine/frame/EngineServices.h"
#include "engine/net/NetAddress.h"
#include "engine/task/EngineSettings.h"
#include "engine/task/TaskRegistry.h"

namespace bw {
namespace {

void StopProcessDiscovery() { LanDiscovery::Process().Stop(); }

}  // namespace

LanDiscovery& LanDiscovery::Process() {
  // Never destroyed: task threads may run a pass while the process exits.
  static LanDiscovery* discovery = new LanDiscovery;
  return *discovery;
}

uint32_t LanDiscovery::GroupAddress() {
  uint32_t ip;
  std::memcpy(&ip, kGroup, 4);
  return ip;
}

bool LanDiscovery::Join() {
  QScopedLock guard(TaskRegistry::Lock());
  if (joined_ || stopped_) return joined_;
  const EngineSettings& settings = ProcessSettings();
  const uint32_t configured = settings.lanInterface.load();
  localIp_ = configured != 0 ? configured : PickLocalAddress();
  port_ = settings.lanPort.load();
  if (port_ <= 0 || localIp_ == kNoAddress || !socket_.Bind(port_, 0, true) ||
      !socket_.JoinGroup(GroupAddress(), localIp_, kTimeToLive)) {
    socket_.Close();
    return false;
  }
  joined_ = true;
  AddEngineService(&StopProcessDiscovery);
  return true;
}

bool LanDiscovery::Joined() {
  QScopedLock guard(TaskRegistry::Lock());
  return joined_;
}

LanMessage LanDiscovery::OwnMessage(const LanTaskFacts& task, uint32_t kind) const {
  LanMessage message;
  message.ip = localIp_;
  message.port = static_cast<uint16_t>(task.listenPort);
  message.kind = kind;
  std::memcpy(message.infoHash, task.infoHash, 20);
  std::memcpy(message.peerId, task.peerId, 20);
  return message;
}

bool LanDiscovery::SendToGroup(const LanMessage& message) {
  uint8_t bytes[LanMessage::kSize];
  message.Encode(bytes);
  return socket_.SendTo(GroupAddress(), port_, bytes, LanMessage::kSize);
}

void LanDiscovery::Leave() {
  socket_.Close();
  joined_ = false;
}

std::vector<LanPeer> LanDiscovery::Pass(const LanTaskFacts& task, bool& announced, uint64_t nowSec) {
  std::vector<LanPeer> found;
  if (!task.infoHash || !task.peerId || task.listenPort <= 0) return found;
  QScopedLock guard(TaskRegistry::Lock());
  if (!joined_ || stopped_) return found;
  if (!announced) {
    const LanMessage query = OwnMessage(task, LanMessage::kQuery);
    if (!SendToGroup(query) || !SendToGroup(query)) {
      Leave();
      return found;
    }
    announced = true;
    return found;
  }
  Receive(task, announced, nowSec, found);
  WalkAnnouncements(task, nowSec, found);
  return found;
}

void LanDiscovery::Receive(const LanTaskFacts& task, bool& announced, uint64_t nowSec, std::vector<LanPeer>& found) {
  // One byte more than a message: a longer datagram shows by its length.
  uint8_t buffer[LanMessage::kSize + 1];
  for (int i = 0; i < kDatagramsPerPass && joined_; ++i) {
    uint32_t fromIp = 0;
    const int64_t n = socket_.ReceiveFrom(buffer, sizeof buffer, &fromIp, nullptr);
    if (n == 0) break;
    if (n < 0) {
      Leave();
      announced = false;
      break;
    }
    OnDatagram(task, buffer, static_cast<size_t>(n), fromIp, nowSec, found);
  }
}

void LanDiscovery::OnDatagram(const LanTaskFacts& task, const uint8_t* data, size_t len, uint32_t fromIp,
                              uint64_t nowSec, std::vector<LanPeer>& found) {
  LanMessage message;
  if (!LanMessage::Decode(data, len, &message)) return;
  // Our own messages come back to us; other instances on this host listen on other ports.
  if (fromIp == localIp_ && message.port == task.listenPort) return;
  if (std::memcmp(message.infoHash, task.infoHash, 20) == 0) {
    Handle(task, message, fromIp, found);
    return;
  }
  const bool known = std::any_of(announcements_.begin(), announcements_.end(), [&](const Announcement& a) {
    return std::memcmp(a.message.peerId, message.peerId, 20) == 0;
  });
  if (known || announcements_.size() >= kMaxAnnouncements) return;
  announcements_.push_back({message, fromIp, nowSec, {task.task}});
}

void LanDiscovery::Handle(const LanTaskFacts& task, const LanMessage& message, uint32_t fromIp,
                          std::vector<LanPeer>& found) {
  if (message.port == 0) return;
  // Dialled where the datagram came from: a message cannot send us to a third party.
  LanPeer peer;
  peer.ip = fromIp;
  peer.port = message.port;
  std::memcpy(peer.peerId.data(), message.peerId, 20);
  found.push_back(peer);
  if (message.kind == LanMessage::kQuery && !SendToGroup(OwnMessage(task, LanMessage::kAnswer))) Leave();
}

void LanDiscovery::WalkAnnouncements(const LanTaskFacts& task, uint64_t nowSec, std::vector<LanPeer>& found) {
  const size_t tasks = std::max<size_t>(task.taskCount, 1);
  for (size_t i = 0; i < announcements_.size();) {
    Announcement& a = announcements_[i];
    const bool viewed = std::find(a.viewers.begin(), a.viewers.end(), task.task) != a.viewers.end();
    if (!viewed && std::memcmp(a.message.infoHash, task.infoHash, 20) == 0) {
      const Announcement taken = a;
      announcements_.erase(announcements_.begin() + static_cast<std::ptrdiff_t>(i));
      Handle(task, taken.message, taken.fromIp, found);
      continue;
    }
    if (!viewed) a.viewers.push_back(task.task);
    if (nowSec - a.arrived > kAnnouncementSeconds || a.viewers.size() >= tasks) {
      announcements_.erase(announcements_.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
}

size_t LanDiscovery::AnnouncementCount() {
  QScopedLock guard(TaskRegistry::Lock());
  return announcements_.size();
}

void LanDiscovery::Stop() {
  QScopedLock guard(TaskRegistry::Lock());
  Leave();
  announcements_.clear();
  stopped_ = true;
}

void LanDiscovery::Resume() {
  QScopedLock guard(TaskRegistry::Lock());
  stopped_ = false;
}

}  // namespace bw
