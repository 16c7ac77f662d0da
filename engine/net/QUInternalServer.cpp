#include "engine/net/QUInternalServer.h"

#include <algorithm>
#include <vector>

#include "engine/frame/EngineLog.h"
#include "engine/net/NetAddress.h"
#include "engine/net/UdpStreamWire.h"
#include "platform/Clock.h"
#include "platform/Thread.h"

namespace bw {
namespace {

constexpr int kBatch = 32;
// Room for every connection's full window arriving before the thread reads (where the system
// allows that much).
constexpr int kSocketBufferBytes = 2 << 20;
constexpr int kMinProbeIntervalSeconds = 10;
constexpr int kResolveRetrySeconds = 30;
constexpr int kMaxStreak = 18;
constexpr uint32_t kRetransmissionMs = 40;
constexpr uint32_t kAcknowledgementMs = 20;
constexpr uint32_t kMaintenanceMs = 2000;
constexpr uint32_t kRegisterMs = 300000;
constexpr int kSelectStepMs = 10;

}  // namespace

bool UdpServerConfig::Valid() const {
  return !rendezvousHost.empty() && rendezvousPort >= 1 && rendezvousPort <= 65535 &&
         localPort >= 1 && localPort <= 65535 && timeoutSeconds > 0;
}

QUInternalServer::QUInternalServer(const UdpServerConfig& config)
    : config_(config),
      identity_(MakeUdpIdentity(config.tag)),
      streams_(*this, identity_),
      rendezvous_(socket_, identity_) {
  if (config_.probeIntervalSeconds <= kMinProbeIntervalSeconds) {
    config_.probeIntervalSeconds = kMinProbeIntervalSeconds;
  }
  if (config_.rendezvousHost.size() > 127) config_.rendezvousHost.resize(127);
  streams_.SetTimeoutSeconds(config_.timeoutSeconds);
  localIp_ = config_.localIp ? config_.localIp : PickLocalAddress();
  localPort_ = config_.localPort;
  rendezvous_.SetLocalEndpoint(localIp_, localPort_);
}

QUInternalServer::~QUInternalServer() { StopServer(); }

bool QUInternalServer::StartServer() { return IsRunning() || Start("UDPServer"); }

void QUInternalServer::StopServer() {
  const bool wasRunning = IsRunning();
  Stop();
  DropConnections();
  if (wasRunning) LogWrite("UDPServer Thread Stopped.. ", 22, 22);
}

void QUInternalServer::DropConnections() {
  QScopedLock guard(lock);
  streams_.DropAll();
}

// ---- the thread ----

bool QUInternalServer::BindSocket() {
  // Bound to any address unless one was configured, so loopback peers reach it too.
  if (socket_.OpenBound(localPort_, config_.localIp, kSocketBufferBytes)) return true;
  rendezvous_.ClearPublicAddress();
  return false;
}

bool QUInternalServer::ResolveServer() {
  const uint32_t ip = ResolveHost(config_.rendezvousHost);
  if (ip == kNoAddress || ip == 0) return false;
  QScopedLock guard(lock);
  rendezvous_.SetServer(ip, config_.rendezvousPort);
  return true;
}

void QUInternalServer::ResetTimers() {
  // A listener may start on another thread meanwhile and mark the registration due.
  QScopedLock guard(lock);
  const uint32_t now = NowMs();
  lastRetransmission_ = now;
  lastAcknowledgement_ = now;
  lastMaintenance_ = now;
  lastRegister_ = now;
  lastProbe_ = now - static_cast<uint32_t>(config_.probeIntervalSeconds) * 1000;
  registerDue_ = true;
}

void QUInternalServer::Run() {
  for (;;) {
    if (IsStopRequested()) return;
    bool bound;
    {
      QScopedLock guard(lock);
      bound = BindSocket();
    }
    if (bound) break;
    platform::SleepMs(1000);
  }
  while (!ResolveServer()) {
    if (SleepSeconds(kResolveRetrySeconds) > 0 || IsStopRequested()) return;
  }
  ResetTimers();
  // Datagrams are read in batches: one system call and one turn of the lock for a run of them.
  constexpr int kSlotBytes = QUdpSocket::kJoinedDatagramBytes;
  std::vector<uint8_t> buffers(static_cast<size_t>(kBatch) * kSlotBytes);
  platform::DatagramSlot batch[kBatch];
  for (int i = 0; i < kBatch; ++i) {
    batch[i].buffer = buffers.data() + static_cast<size_t>(i) * kSlotBytes;
    batch[i].capacity = kSlotBytes;
  }
  int empties = 0;
  int streak = 0;
  while (!IsStopRequested()) {
    if (TransportDisabled()) {
      {
        QScopedLock guard(lock);
        socket_.Close();
        rendezvous_.ClearPublicAddress();
      }
      while (TransportDisabled() && !IsStopRequested()) platform::SleepMs(100);
      ResetTimers();
      continue;
    }
    int idleMs = 0;
    bool readError = false;
    {
      QScopedLock guard(lock);
      // The rendezvous server knows the engine by the port it last heard from.
      if ((!socket_.IsOpen() || socket_.LocalPort() != localPort_) && BindSocket()) registerDue_ = true;
      const int n = socket_.ReceiveBatch(batch, kBatch);
      if (n < 0) {
        socket_.Close();
        readError = true;
      } else if (n == 0) {
        streak = 0;
        idleMs = ++empties > 3 ? 40 : 10;
        RunTimers();
      } else {
        empties = 0;
        for (int i = 0; i < n; ++i) DispatchRun(batch[i], streak);
      }
      // Received data is acknowledged as soon as the socket is drained, not at the next pass:
      // the sender's window waits for it.
      if (n >= 0 && n < kBatch && streams_.AcknowledgementWanted()) streams_.AcknowledgementPass();
      streams_.WakeWaiters();
    }
    if (readError) {
      platform::SleepMs(2);
    } else if (idleMs > 0) {
      Idle(idleMs);
    }
  }
  QScopedLock guard(lock);
  socket_.Close();
}

void QUInternalServer::Idle(int ms) {
  // Waiting on the socket rather than sleeping: an arriving datagram ends the wait at once.
  if (!socket_.WaitReadable(ms)) platform::SleepMs(static_cast<uint32_t>(ms));
}

void QUInternalServer::DispatchRun(const platform::DatagramSlot& slot, int& streak) {
  const auto* joined = static_cast<const uint8_t*>(slot.buffer);
  const auto total = static_cast<size_t>(slot.length);
  const size_t step = slot.segment > 0 ? static_cast<size_t>(slot.segment) : total;
  size_t at = 0;
  do {
    const size_t length = std::min(step, total - at);
    Dispatch(joined + at, length, slot.from.ip, slot.from.port);
    at += length;
    // A long run of datagrams still lets the timers run; no pause, which would cap the transport
    // at a run per pause.
    if (length < 9 || ++streak >= kMaxStreak) RunTimers();
    if (streak >= kMaxStreak) streak = 0;
  } while (at < total);
}

void QUInternalServer::Dispatch(const uint8_t* d, size_t n, uint32_t ip, int port) {
  if (n > 8 && d[0] == 'd') return;  // bencoded traffic of other programs
  if (rendezvous_.Handle(d, n, ip, port, streams_)) return;
  streams_.HandlePacket(d, n, ip, port);
}

void QUInternalServer::RunTimers() {
  const uint32_t now = NowMs();
  if (now - lastRetransmission_ >= kRetransmissionMs) {
    streams_.RetransmissionPass();
    streams_.AcknowledgementPass();
    lastRetransmission_ = now;
    lastAcknowledgement_ = now;
  } else if (now - lastAcknowledgement_ >= kAcknowledgementMs) {
    streams_.AcknowledgementPass();
    lastAcknowledgement_ = now;
  }
  if (now - lastMaintenance_ >= kMaintenanceMs) {
    streams_.Maintenance();
    rendezvous_.PunchPass();
    lastMaintenance_ = now;
  }
  if (registerDue_ || now - lastRegister_ >= kRegisterMs) {
    rendezvous_.ClearAnswered();
    rendezvous_.Register(streams_.ListeningPort());
    streams_.TrimPool();
    lastRegister_ = now;
    registerDue_ = false;
  }
  if (now - lastProbe_ >= static_cast<uint32_t>(config_.probeIntervalSeconds) * 1000) {
    lastProbe_ = now;
    if (rendezvous_.BehindNat()) rendezvous_.Probe();
    if (!rendezvous_.ServerAnswered()) registerDue_ = true;
  }
  const uint64_t second = now / 1000;
  if (second != lastSecond_) {
    rendezvous_.FlushIntroductions();
    lastSecond_ = second;
  }
}

// ---- settings ----

void QUInternalServer::SetTransportDisabled(bool disabled) {
  QScopedLock guard(lock);
  disabled_ = disabled;
  streams_.SetDisabled(disabled);
}

bool QUInternalServer::TransportDisabled() {
  QScopedLock guard(lock);
  return disabled_;
}

void QUInternalServer::SetLocalEndpoint(uint32_t ip, int port) {
  QScopedLock guard(lock);
  if (ip != 0) localIp_ = ip;
  if (port >= 1 && port <= 65535) localPort_ = port;
  rendezvous_.SetLocalEndpoint(localIp_, localPort_);
}

uint32_t QUInternalServer::PublicAddress() {
  QScopedLock guard(lock);
  return rendezvous_.PublicAddress();
}

// ---- what the connections need ----

bool QUInternalServer::SendDatagram(uint32_t ip, int port, const uint8_t* data, int length) {
  return socket_.SendTo(ip, port, data, length);
}

int QUInternalServer::SendDatagrams(uint32_t ip, int port, const uint8_t* const* data, const int* lengths,
                                    int count) {
  return socket_.SendRun(ip, port, data, lengths, count);
}

void QUInternalServer::RequestIntroduction(QUdpStream& stream) { rendezvous_.Introduce(stream); }

void QUInternalServer::ForgetPunch(uint32_t ip, int port) { rendezvous_.ForgetPunch(ip, port); }

uint32_t QUInternalServer::LocalAddress() { return localIp_; }

uint32_t QUInternalServer::NowMs() { return platform::TickCountMs(); }

// ---- socket-like calls ----

int QUInternalServer::Socket() {
  QScopedLock guard(lock);
  return streams_.Socket();
}

int QUInternalServer::Close(int handle) {
  QScopedLock guard(lock);
  return streams_.Close(handle);
}

int QUInternalServer::Bind(int handle, const platform::SockAddrV4& at) {
  QScopedLock guard(lock);
  return streams_.Bind(handle, at);
}

int QUInternalServer::Listen(int handle, int backlog) {
  if (!IsRunning()) {
    platform::SetLastSocketError(platform::kWsaNotInitialised);
    return -1;
  }
  QScopedLock guard(lock);
  const int result = streams_.Listen(handle, backlog);
  // The server learns the port that peers from compact lists are known by.
  if (result == 0) registerDue_ = true;
  return result;
}

int QUInternalServer::Accept(int handle, platform::SockAddrV4* peer) {
  QScopedLock guard(lock);
  return streams_.Accept(handle, peer);
}

int QUInternalServer::Connect(int handle, const platform::SockAddrV4& to) {
  QScopedLock guard(lock);
  return streams_.Connect(handle, to);
}

int QUInternalServer::Send(int handle, const uint8_t* data, int len) {
  QScopedLock guard(lock);
  return streams_.Send(handle, data, len);
}

int QUInternalServer::Recv(int handle, uint8_t* buffer, int len) {
  QScopedLock guard(lock);
  return streams_.Recv(handle, buffer, len);
}

int QUInternalServer::Select(int handle, int what, int timeoutMs) {
  const uint32_t start = NowMs();
  for (;;) {
    int ready;
    {
      QScopedLock guard(lock);
      ready = streams_.Readiness(handle, what);
    }
    if (ready != 0) return ready;
    if (timeoutMs >= 0 && NowMs() - start >= static_cast<uint32_t>(timeoutMs)) return 0;
    platform::SleepMs(kSelectStepMs);
  }
}

int QUInternalServer::WatchReady(int handle, int what, platform::WakeableWait* wait) {
  QScopedLock guard(lock);
  return streams_.WatchReady(handle, what, wait);
}

int QUInternalServer::GetSockName(int handle, platform::SockAddrV4* local) {
  QScopedLock guard(lock);
  return streams_.GetSockName(handle, local);
}

}  // namespace bw
