#include "engine/task/SwarmListener.h"

#include <algorithm>

#include "engine/frame/EngineLog.h"
#include "engine/frame/EngineServices.h"
#include "engine/net/NetAddress.h"
#include "engine/net/UdpServerService.h"
#include "engine/task/EngineSettings.h"
#include "engine/task/PendingRoute.h"
#include "engine/task/TWorkWithPeers.h"
#include "engine/task/TaskRegistry.h"

namespace bw {
namespace {

constexpr int kListenerChannel = 23;

bool SameNetwork24(uint32_t a, uint32_t b) { return (NetToHost32(a) >> 8) == (NetToHost32(b) >> 8); }

bool IsLoopback(uint32_t ip) { return (NetToHost32(ip) >> 24) == 127; }

void StopProcessListener() { SwarmListener::Process().Stop(); }

}  // namespace

SwarmListener::SwarmListener(HashLookup knownHash) : knownHash_(std::move(knownHash)) {}

SwarmListener::~SwarmListener() = default;

SwarmListener& SwarmListener::Process() {
  // Never destroyed: task threads may run a round while the process exits.
  static SwarmListener* listener = new SwarmListener(&TWorkWithPeers::IsSwarmHash);
  return *listener;
}

ListenerRound SwarmListener::Serve(const uint8_t* ownHash, const std::function<bool(uint32_t ip)>& acceptsAddress,
                                   uint32_t nowMs) {
  ListenerRound round;
  QScopedLock guard(TaskRegistry::Lock());
  if (stopped_) return round;
  round.served = true;
  if (ProcessSettings().p2pEnabled.load()) {
    if (listener_.IsListening()) {
      RefreshAddress(nowMs);
    } else {
      Open(nowMs);
    }
  } else if (listener_.IsListening()) {
    Close();  // the pending connections stay: tasks may still claim them
  }
  KeepUdpListener();
  if (listener_.IsListening()) {
    round.addressText = addressText_;
    round.port = Port();
    AcceptNew(acceptsAddress, nowMs);
  } else {
    round.addressText = kDisabledText;
  }
  Route(ownHash, nowMs, round);
  if (pending_.size() > PendingRules::kSweepAbove) Sweep(nowMs);
  return round;
}

bool SwarmListener::Open(uint32_t nowMs) {
  addressText_.clear();
  port_ = 0;
  const int setting = ProcessSettings().listenPort.load();
  const int wanted = setting > 0 ? setting : kDefaultListenPort;
  for (int port = wanted; port < wanted + kPortTries && port <= 65535; ++port) {
    // Every address: peers on this host and on each interface reach the one listener.
    if (!listener_.Listen(port, 0)) continue;
    if (port != wanted) {
      LogPrintf(kListenerChannel, kListenerChannel, "Listen port %d is taken: listening on %d", wanted, port);
    }
    port_ = port;
    openFailed_ = false;
    localIp_ = listener_.LocalAddress();
    addressText_ = DottedQuadText(localIp_) + " : " + std::to_string(port);
    checkedMs_ = nowMs;
    AddEngineService(&StopProcessListener);
    return true;
  }
  // Tried again every round: said once.
  if (!openFailed_) {
    LogPrintf(kListenerChannel, kListenerChannel, "Cannot listen on ports %d to %d", wanted, wanted + kPortTries - 1);
  }
  openFailed_ = true;
  return false;
}

void SwarmListener::KeepUdpListener() {
  QUInternalServer* udp = listener_.IsListening() ? RunningUdpServer() : nullptr;
  if (!udp) {
    udpListener_.Close();
    return;
  }
  if (udp->TransportDisabled()) return;  // its listening sockets are kept for when it comes back
  if (udpListener_.IsListening() && static_cast<int>(udpListener_.LocalPort()) == Port()) return;
  // Peers dial the TCP port number over UDP too: it is the one trackers and the LAN learn.
  if (!udpListener_.Listen(Port(), 0, udp->Identity().data())) {
    LogPrintf(kListenerChannel, kListenerChannel, "Cannot listen on UDP stream port %d", Port());
  }
}

void SwarmListener::Close() {
  listener_.Close();
  udpListener_.Close();
  port_ = 0;
  addressText_.clear();
}

void SwarmListener::RefreshAddress(uint32_t nowMs) {
  if (nowMs - checkedMs_ <= kAddressCheckMs) return;
  checkedMs_ = nowMs;
  const uint32_t ip = PickLocalAddress();
  if (ip == localIp_ || ip == kNoAddress) return;
  // The socket listens on every address: only what it tells peers changes.
  localIp_ = ip;
  addressText_ = DottedQuadText(ip) + " : " + std::to_string(Port());
}

void SwarmListener::AcceptNew(const std::function<bool(uint32_t ip)>& acceptsAddress, uint32_t nowMs) {
  int accepted = 0;
  for (; accepted < kAcceptsPerRound; ++accepted) {
    std::unique_ptr<QSocket> socket = listener_.Accept();
    if (!socket) break;
    const uint32_t from = socket->RemoteAddress();
    if (!reachable_ && !IsLoopback(from) && !SameNetwork24(from, localIp_)) {
      reachable_ = true;
      // Peers can dial this engine directly: the UDP stream transport is not needed.
      if (QUInternalServer* udp = RunningUdpServer()) udp->SetTransportDisabled(true);
    }
    if (acceptsAddress && !acceptsAddress(from)) continue;  // closed as it goes
    pending_.push_back({std::move(socket), nowMs});
  }
  if (!udpListener_.IsListening()) return;
  for (; accepted < kAcceptsPerRound; ++accepted) {
    std::unique_ptr<QSocket> socket = udpListener_.Accept();
    if (!socket) break;
    if (acceptsAddress && !acceptsAddress(socket->RemoteAddress())) continue;
    pending_.push_back({std::move(socket), nowMs});
  }
}

void SwarmListener::Route(const uint8_t* ownHash, uint32_t nowMs, ListenerRound& round) {
  for (size_t i = 0; i < pending_.size();) {
    QSocket& socket = *pending_[i].socket;
    bool open = true;
    if (socket.ReceivedSize() < static_cast<int64_t>(PendingRules::kReadUpTo)) {
      open = socket.Receive(static_cast<int64_t>(PendingRules::kReadStep)) >= 0;
    }
    PendingVerdict verdict = PendingVerdict::kExpired;
    if (open) {
      verdict = RoutePending(socket.ReceivedData(), static_cast<size_t>(socket.ReceivedSize()),
                             nowMs - pending_[i].acceptedMs, ownHash, knownHash_);
    }
    if (verdict == PendingVerdict::kWait) {
      ++i;
      continue;
    }
    if (verdict == PendingVerdict::kOwn) round.claimed.push_back(std::move(pending_[i].socket));
    pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

void SwarmListener::Sweep(uint32_t nowMs) {
  std::erase_if(pending_, [nowMs](const Pending& p) {
    return SweptAway(static_cast<size_t>(p.socket->ReceivedSize()), nowMs - p.acceptedMs);
  });
}

size_t SwarmListener::PendingCount() {
  QScopedLock guard(TaskRegistry::Lock());
  return pending_.size();
}

void SwarmListener::Stop() {
  QScopedLock guard(TaskRegistry::Lock());
  Close();
  pending_.clear();
  stopped_ = true;
}

void SwarmListener::Resume() {
  QScopedLock guard(TaskRegistry::Lock());
  stopped_ = false;
}

}  // namespace bw
