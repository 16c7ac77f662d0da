#include "engine/net/UdpStreamTable.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "engine/net/BigEndian.h"
#include "engine/net/NetAddress.h"
#include "engine/net/UdpStreamWire.h"

namespace bw {
namespace {

constexpr size_t kMaxFreeStreams = 256;
constexpr uint32_t kMaxHandle = 0x7FFFFFFF;
constexpr int kMaxRetries = 128;
constexpr uint32_t kResendBaseMs = 1600;
constexpr uint32_t kResendStepMs = 800;
// A packet the peer reports missing behind a later one it holds is resent as soon as the report
// comes, unless it went out this recently: on a loss the whole window would otherwise wait for
// the full back-off.
constexpr uint32_t kMissingResendMs = 30;
constexpr int kLaterPacketsForLoss = 3;
constexpr uint32_t kAcknowledgementGapMs = 1200;
constexpr uint32_t kWindowUpdatePackets = QUdpStream::kSlots / 4;
constexpr uint32_t kIdleAcknowledgementMs = 12000;
constexpr uint32_t kReintroduceMs = 3000;
constexpr uint32_t kNewerCookieSpan = 0xFFFFFF;

bool Newer(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }

uint32_t Field(const uint8_t* p, int offset) { return LoadBe32(p + offset); }

uint32_t PayloadLength(const PooledPacket& packet) { return Field(packet.Data(), kOffBody); }

bool SameTag(const uint8_t* a, const uint8_t* b) { return std::memcmp(a, b, kUdpTagSize) == 0; }

}  // namespace

UdpStreamTable::UdpStreamTable(IUdpStreamHost& host, const UdpIdentity& own)
    : host_(host), own_(own) {
  std::random_device random;
  nextHandle_ = (random() & 0xFFFFFF) + 1;
  nextCookie_ = random() | 1;
}

UdpStreamTable::~UdpStreamTable() { DropAll(); }

// ---- bookkeeping ----

int UdpStreamTable::Fail(int error) {
  platform::SetLastSocketError(error);
  return -1;
}

QUdpStream* UdpStreamTable::Find(int handle) {
  QUdpStream* s = FindConnection(static_cast<uint32_t>(handle));
  return s && !s->lingering ? s : nullptr;
}

QUdpStream* UdpStreamTable::FindConnection(uint32_t handle) {
  const auto it = streams_.find(handle);
  return it == streams_.end() ? nullptr : it->second.get();
}

QUdpStream* UdpStreamTable::NewStream() {
  do {
    nextHandle_ = nextHandle_ >= kMaxHandle ? 1 : nextHandle_ + 1;
  } while (streams_.count(nextHandle_));
  std::unique_ptr<QUdpStream> s;
  if (free_.empty()) {
    s = std::make_unique<QUdpStream>();
  } else {
    s = std::move(free_.back());
    free_.pop_back();
  }
  s->Reset(nextHandle_);
  QUdpStream* raw = s.get();
  streams_.emplace(nextHandle_, std::move(s));
  return raw;
}

void UdpStreamTable::Remove(std::vector<uint32_t>& list, uint32_t handle) {
  list.erase(std::remove(list.begin(), list.end(), handle), list.end());
}

void UdpStreamTable::Recycle(uint32_t handle) {
  const auto it = streams_.find(handle);
  if (it == streams_.end()) return;
  it->second->FreeBuffers();
  if (free_.size() < kMaxFreeStreams) free_.push_back(std::move(it->second));
  streams_.erase(it);
}

void UdpStreamTable::Kill(QUdpStream& s) {
  s.state = kStreamDead;
  s.FreeBuffers();
  Notify(s);
}

void UdpStreamTable::DropAll() {
  for (auto& [handle, s] : streams_) s->FreeBuffers();
  streams_.clear();
  free_.clear();
  connections_.clear();
  bound_.clear();
  pending_.clear();
  wakes_.clear();
  pool_.Trim(0);
}

void UdpStreamTable::TrimPool() {
  const int64_t used = pool_.UsedBytes();
  const int64_t held = used + pool_.FreeBytes();
  if (held > int64_t{2048} * 1024 && used * 100 <= held * 35) pool_.Trim(used / 5);
}

// ---- sending packets ----

bool UdpStreamTable::SendPacket(QUdpStream& s, uint8_t* packet, uint32_t length, uint32_t type,
                                int times) {
  const bool ownHandle = type == kUdpSyn || type == kUdpSynAck;
  const uint32_t sequence = CarriesEpoch(type) ? s.remoteEpoch : ++s.packetCounter;
  SealStreamPacket(packet, length, ownHandle ? s.handle : s.remoteHandle, sequence, type,
                   s.remoteIdentity.data());
  bool sent = false;
  for (int i = 0; i < times; ++i) {
    sent = host_.SendDatagram(s.remoteIp, s.remotePort, packet, static_cast<int>(length)) || sent;
  }
  return sent;
}

void UdpStreamTable::SendSyn(QUdpStream& s) {
  uint8_t p[kStreamHeaderSize] = {};
  s.portField = static_cast<uint32_t>(s.remotePort);
  StoreBe32(p + 32, s.portField);
  std::memcpy(p + 36, own_.data(), kUdpIdentitySize);
  StoreBe32(p + 48, static_cast<uint32_t>(s.targetPort));
  StoreBe32(p + 60, s.cookie);
  SendPacket(s, p, sizeof p, kUdpSyn, 2);
}

void UdpStreamTable::SendSynAck(QUdpStream& s) {
  uint8_t p[kStreamHeaderSize] = {};
  StoreBe32(p + 32, s.portField);
  std::memcpy(p + 36, s.remoteIdentity.data(), kUdpIdentitySize);
  StoreBe32(p + 48, static_cast<uint32_t>(s.targetPort));
  StoreBe32(p + 56, s.cookie);
  StoreBe32(p + 60, s.remoteHandle);
  SendPacket(s, p, sizeof p, kUdpSynAck, 2);
}

void UdpStreamTable::SendEstablish(QUdpStream& s) {
  uint8_t p[kStreamHeaderSize] = {};
  StoreBe32(p + 32, s.cookie);
  SendPacket(s, p, sizeof p, kUdpEstablish, 2);
}

void UdpStreamTable::SendFin(QUdpStream& s) {
  uint8_t p[kStreamHeaderSize] = {};
  StoreBe32(p + 32, static_cast<uint32_t>(s.targetPort));
  StoreBe32(p + 36, s.handle);
  StoreBe32(p + 40, s.cookie);
  SendPacket(s, p, sizeof p, kUdpFin, 2);
}

void UdpStreamTable::SendKeepAlive(QUdpStream& s) {
  uint8_t p[kStreamHeaderSize] = {};
  StoreBe32(p + 32, static_cast<uint32_t>(s.targetPort));
  SendPacket(s, p, sizeof p, kUdpKeepAlive);
}

void UdpStreamTable::SendAcknowledgement(QUdpStream& s, int times) {
  static_assert(QUdpStream::kSlots >= kAckHeaderFlags && QUdpStream::kSlots <= kMaxAckSlots);
  uint8_t p[AckLength(QUdpStream::kSlots)] = {};
  StoreBe32(p + 32, s.sendBase);
  StoreBe32(p + 36, s.receiveBase);
  bool held[QUdpStream::kSlots];
  for (int i = 0; i < QUdpStream::kSlots; ++i) held[i] = bool(s.Reorder(static_cast<uint32_t>(i)).packet);
  PutAckFlags(p, QUdpStream::kSlots, held);
  SendPacket(s, p, sizeof p, kUdpAck, times);
  s.acknowledgedBase = s.receiveBase;
}

bool UdpStreamTable::SendData(QUdpStream& s, QUdpStream::SendSlot& slot) {
  return host_.SendDatagram(s.remoteIp, s.remotePort, slot.packet.Data(), slot.packet.Length());
}

void UdpStreamTable::SendReject(const uint8_t* syn, uint32_t ip, int port) {
  uint8_t p[kStreamHeaderSize] = {};
  std::memcpy(p + 32, syn + 32, kStreamHeaderSize - 32);
  const uint32_t sender = Field(syn, kOffConnection);
  SealStreamPacket(p, sizeof p, sender, Field(syn, kOffSequence), kUdpReject, syn + 36);
  host_.SendDatagram(ip, port, p, sizeof p);
}

// ---- receiving packets ----

void UdpStreamTable::HandlePacket(const uint8_t* d, size_t length, uint32_t ip, int port) {
  if (disabled_ || !IsStreamPacketFor(d, length, own_.data())) return;
  const uint32_t type = Field(d, kOffType);
  if (type == kUdpSyn) return OnSyn(d, ip, port);
  if (type == kUdpSynAck) return OnSynAck(d, ip, port);
  QUdpStream* s = FindConnection(Field(d, kOffConnection));
  if (!s) return;
  HandleOnStream(*s, d, length, ip, port);
  Notify(*s);
  // The FIN follows the last acknowledgement at once: the peer may wait for it before it takes a
  // new connection from this engine.
  if (s->lingering) EndLingering(*s);
}

void UdpStreamTable::HandleOnStream(QUdpStream& stream, const uint8_t* d, size_t length, uint32_t ip, int port) {
  QUdpStream* s = &stream;
  const uint32_t type = Field(d, kOffType);
  const bool sameEndpoint = s->remoteIp == ip && s->remotePort == port;
  const bool established = s->state == kStreamEstablished;
  const bool sameTarget = s->remoteIp == ip && Field(d, 32) == static_cast<uint32_t>(s->targetPort);
  switch (type) {
    case kUdpEstablish:
      return OnEstablish(*s, d, ip, port);
    case kUdpReject:
      return OnReject(*s, d, ip);
    case kUdpData:
      // Nobody reads a closed connection any more.
      if (established && sameEndpoint && !s->lingering) OnData(*s, d, length);
      return;
    case kUdpAck:
      if (established && sameEndpoint) OnAck(*s, d, length);
      return;
    case kUdpDataAck:
      if (established) OnDataAck(*s, d);
      return;
    case kUdpKeepAlive:
      if (established && sameTarget) {
        s->remotePort = port;
        s->lastActivity = host_.NowMs();
      }
      return;
    case kUdpFin:
      if (established && sameTarget) OnFin(*s, d, ip);
      return;
    default:
      return;
  }
}

void UdpStreamTable::OnSyn(const uint8_t* p, uint32_t ip, int port) {
  const uint32_t portField = Field(p, 32);
  const uint32_t target = Field(p, 48);
  const uint32_t cookie = Field(p, 60);
  const uint32_t remoteHandle = Field(p, kOffConnection);
  const uint32_t sequence = Field(p, kOffSequence);
  const uint8_t* sender = p + 36;
  if (portField == 0 || target == 0 || target > 65535) return;
  host_.ForgetPunch(ip, port);
  for (const std::vector<uint32_t>* list : {&pending_, &connections_}) {
    for (uint32_t h : *list) {
      QUdpStream& s = *streams_[h];
      if (!s.accepted || (s.state != kStreamIncoming && s.state != kStreamEstablished) ||
          s.remoteIp != ip || s.remotePort != port || s.remoteHandle != remoteHandle ||
          s.targetPort != static_cast<int>(target) || !SameTag(s.remoteIdentity.data(), sender)) {
        continue;
      }
      if (cookie == s.cookie || cookie == 0) {
        if (s.state != kStreamIncoming && Newer(sequence, s.remoteEpoch)) {
          s.remoteEpoch = sequence;
          SendSynAck(s);
        }
        return;
      }
      if (cookie < s.cookie && s.cookie - cookie <= kNewerCookieSpan) return;  // an older SYN
      Kill(s);
    }
  }
  const bool listening = std::any_of(bound_.begin(), bound_.end(), [&](uint32_t h) {
    const QUdpStream& b = *streams_[h];
    return b.state == kStreamListening && b.targetPort == static_cast<int>(target);
  });
  if (!listening) return SendReject(p, ip, port);
  if (pending_.size() >= static_cast<size_t>(backlogLimit_)) return;
  QUdpStream& s = *NewStream();
  s.accepted = true;
  s.state = kStreamIncoming;
  s.remoteIp = ip;
  s.remotePort = port;
  s.remoteHandle = remoteHandle;
  s.remoteEpoch = sequence;
  s.epochKnown = true;
  s.portField = portField;
  s.targetPort = static_cast<int>(target);
  s.cookie = cookie;
  std::memcpy(s.remoteIdentity.data(), sender, kUdpIdentitySize);
  s.lastActivity = host_.NowMs();
  pending_.push_back(s.handle);
  SendSynAck(s);
}

void UdpStreamTable::OnSynAck(const uint8_t* p, uint32_t ip, int port) {
  QUdpStream* found = Find(static_cast<int>(Field(p, 60)));
  if (!found || found->accepted) return;
  QUdpStream& s = *found;
  const uint32_t sequence = Field(p, kOffSequence);
  const uint32_t remoteHandle = Field(p, kOffConnection);
  const uint32_t cookie = Field(p, 56);
  if (Field(p, 48) != static_cast<uint32_t>(s.targetPort) || s.remoteIp != ip ||
      Field(p, 32) != s.portField || (s.epochKnown && !Newer(sequence, s.remoteEpoch)) ||
      (s.remoteHandle != 0 && s.remoteHandle != remoteHandle) || !SameTag(p + 36, own_.data()) ||
      (s.state != kStreamConnecting && s.state != kStreamEstablished) ||
      (cookie != s.cookie && cookie != 0)) {
    return;
  }
  const uint32_t now = host_.NowMs();
  s.remotePort = port;
  s.remoteHandle = remoteHandle;
  s.remoteEpoch = sequence;
  s.epochKnown = true;
  if (s.state != kStreamEstablished) s.statisticsStart = now;
  s.state = kStreamEstablished;
  s.established = true;
  s.lastActivity = now;
  SendEstablish(s);
  Notify(s);
}

void UdpStreamTable::OnEstablish(QUdpStream& s, const uint8_t* p, uint32_t ip, int port) {
  // The establish packet echoes our own SYN-ACK's counter: it cannot be ahead of it.
  if (!s.accepted || s.state != kStreamIncoming || s.remoteIp != ip ||
      Newer(Field(p, kOffSequence), s.packetCounter) || Field(p, 32) != s.cookie) {
    return;
  }
  const uint32_t now = host_.NowMs();
  s.remotePort = port;
  s.state = kStreamEstablished;
  s.established = true;
  s.lastActivity = now;
  s.statisticsStart = now;
}

void UdpStreamTable::OnReject(QUdpStream& s, const uint8_t* p, uint32_t ip) {
  if (s.state == kStreamConnecting && s.remoteIp == ip && Field(p, 32) == s.portField &&
      Field(p, 48) == static_cast<uint32_t>(s.targetPort)) {
    Kill(s);
  }
}

void UdpStreamTable::OnData(QUdpStream& s, const uint8_t* p, size_t length) {
  const uint32_t payload = Field(p, 32);
  const uint32_t sequence = Field(p, 36);
  if (payload == 0 || payload > kStreamMaxPayload || length != payload + kStreamHeaderSize) return;
  // Unsigned: a duplicate below the receive base is far above the window, never a slot.
  uint32_t slot = sequence - s.receiveBase;
  if (slot >= QUdpStream::kSlots) {
    s.Deliver();
    slot = sequence - s.receiveBase;
    if (slot >= QUdpStream::kSlots) {
      // A packet we hold already means our acknowledgement was lost: repeat it soon.
      if (Newer(s.receiveBase, sequence)) s.acknowledgementDue = acknowledgementWanted_ = true;
      return;
    }
  }
  QUdpStream::Received& r = s.Reorder(slot);
  if (!r.packet) {
    r.packet = PooledPacket(pool_, p, static_cast<int>(length));
    if (!r.packet) return;
    r.used = 0;
    s.receivedBytes += payload;
  }
  s.lastActivity = host_.NowMs();
  s.acknowledgementDue = true;
  acknowledgementWanted_ = true;
}

void UdpStreamTable::OnAck(QUdpStream& s, const uint8_t* p, size_t length) {
  const uint32_t remoteSendBase = Field(p, 32);
  const uint32_t remoteReceiveBase = Field(p, 36);
  const AckFlags flags(p, length);
  if (Newer(remoteSendBase, s.remoteSendBase)) s.remoteSendBase = remoteSendBase;
  if (Newer(remoteReceiveBase, s.remoteReceiveBase)) s.remoteReceiveBase = remoteReceiveBase;
  if (flags.Extended()) s.peerSlots = flags.Slots();
  bool progress = false;
  int laterHeld = 0;
  for (int i = s.sendCount - 1; i >= 0; --i) {
    QUdpStream::SendSlot& slot = s.send[i];
    const uint32_t offset = s.sendBase + static_cast<uint32_t>(i) - remoteReceiveBase;
    const bool held = flags.Held(offset);
    if (held) ++laterHeld;
    if (!slot.packet) continue;
    if (static_cast<int32_t>(offset) < 0 || held) {
      s.acknowledgedBytes += PayloadLength(slot.packet);
      slot.packet.Release();
      progress = true;
    } else if (laterHeld > 0) {
      slot.reportedMissing = true;
      slot.heldAfter = laterHeld;
    }
  }
  const uint32_t now = host_.NowMs();
  // A peer that keeps data unacknowledged is not alive for the time-out, whatever else it sends.
  if (progress || s.InFlight() == 0) s.lastActivity = now;
  // The acknowledgement clocks the stream: what it reports missing goes again at once, then the
  // freed slots fill. A packet sent once is taken for lost when several sent after it arrived (a
  // round trip may be far shorter than any timer); a resent one when its resend is not fresh.
  for (int i = 0; i < s.sendCount; ++i) {
    QUdpStream::SendSlot& slot = s.send[i];
    if (!slot.packet || !slot.reportedMissing) continue;
    const bool lost = slot.retries == 0 ? slot.heldAfter >= kLaterPacketsForLoss : now - slot.lastSend > kMissingResendMs;
    if (lost && !Resend(s, slot, now)) return;
  }
  if (progress) FillSlots(s);
}

void UdpStreamTable::OnDataAck(QUdpStream& s, const uint8_t* p) {
  const uint32_t index = Field(p, 36) - s.sendBase;
  if (index >= static_cast<uint32_t>(s.sendCount)) return;
  QUdpStream::SendSlot& slot = s.send[index];
  if (!slot.packet || std::memcmp(slot.packet.Data() + 32, p + 32, 8) != 0) return;
  s.acknowledgedBytes += PayloadLength(slot.packet);
  slot.packet.Release();
  s.lastActivity = host_.NowMs();
  FillSlots(s);
}

void UdpStreamTable::OnFin(QUdpStream& s, const uint8_t* p, uint32_t) {
  const uint32_t sender = Field(p, 36);
  if (Field(p, 40) != s.cookie || (sender != 0 && sender != s.remoteHandle)) return;
  // What arrived in order before the FIN stays readable, like the rest of a TCP stream, also
  // what waits in the reorder slots behind a full delivery queue; packets past a gap can no
  // longer be completed.
  s.Deliver();
  uint32_t inOrder = 0;
  while (inOrder < QUdpStream::kSlots && s.Reorder(inOrder).packet) ++inOrder;
  for (uint32_t i = inOrder; i < QUdpStream::kSlots; ++i) s.Reorder(i) = {};
  for (QUdpStream::SendSlot& slot : s.send) slot = {};
  s.sendCount = 0;
  s.state = kStreamDead;
  s.closedByPeer = true;
}

void UdpStreamTable::HandleIntroduction(uint32_t sequence, const std::vector<IntroducedPeer>& peers) {
  const uint32_t now = host_.NowMs();
  for (uint32_t h : connections_) {
    QUdpStream& s = *streams_[h];
    if (s.state != kStreamIntroducing) continue;
    // A peer known by address and listen port asked alone: the engine at that address in the
    // reply to its own request is the one listening there, not one of a neighbour's.
    const bool byAddress = IsUnknownUdpTag(s.remoteIdentity.data()) && s.introductionSequence == sequence;
    const auto match = std::find_if(peers.begin(), peers.end(), [&](const IntroducedPeer& peer) {
      return SameTag(peer.tag, s.remoteIdentity.data()) || (byAddress && peer.ip == s.remoteIp);
    });
    if (match == peers.end()) {
      if (s.introductionSequence == sequence) Kill(s);
      continue;
    }
    std::memcpy(s.remoteIdentity.data(), match->tag, kUdpTagSize);
    s.remoteIp = match->ip;
    s.remotePort = match->port;
    s.state = kStreamConnecting;
    s.lastActivity = now;
    SendSyn(s);
  }
}

void UdpStreamTable::HandlePunch(uint32_t ip, int port, const uint8_t* senderIdentity) {
  for (uint32_t h : connections_) {
    QUdpStream& s = *streams_[h];
    if ((s.state != kStreamIntroducing && s.state != kStreamConnecting) || s.remoteIp != ip) continue;
    if (IsUnknownUdpTag(s.remoteIdentity.data()) &&
        std::memcmp(s.remoteIdentity.data() + 2, &ip, 4) == 0) {
      std::memcpy(s.remoteIdentity.data(), senderIdentity, kUdpIdentitySize);
    }
    if (!SameTag(s.remoteIdentity.data(), senderIdentity)) continue;
    s.state = kStreamConnecting;
    s.remotePort = port;
    s.lastActivity = host_.NowMs();
    SendSyn(s);
  }
}

// ---- passes ----

bool UdpStreamTable::Retransmit(QUdpStream& s) {
  const uint32_t now = host_.NowMs();
  const int n = s.Window() / 2 + 2;
  const int m = s.LossRate() > 19 ? 2 : n;
  int occupied = 0;
  int withRetries = 0;
  int resends = 0;
  for (int i = 0; i < s.sendCount; ++i) {
    QUdpStream::SendSlot& slot = s.send[i];
    if (!slot.packet) continue;
    if (slot.retries > kMaxRetries) {
      Kill(s);
      return true;
    }
    if (++occupied > n) break;
    if (slot.retries > 0 && ++withRetries > m) break;
    const uint32_t backOff = slot.reportedMissing
                                 ? kMissingResendMs
                                 : kResendBaseMs + kResendStepMs * static_cast<uint32_t>(slot.retries);
    if (slot.sentOnce && now - slot.lastSend <= backOff) continue;
    if (!s.PeerTakes(i)) break;
    const bool resend = slot.sentOnce;
    if (!Resend(s, slot, now)) return false;
    if (resend) ++resends;
    if (slot.retries > 1 || (resend && resends >= m)) break;
  }
  return true;
}

bool UdpStreamTable::Resend(QUdpStream& s, QUdpStream::SendSlot& slot, uint32_t now) {
  if (!SendData(s, slot)) return false;
  if (slot.sentOnce) ++s.retransmittedPackets;
  ++s.sentPackets;
  ++slot.retries;
  slot.sentOnce = true;
  slot.reportedMissing = false;
  slot.lastSend = now;
  return true;
}

bool UdpStreamTable::RetransmissionPass() {
  const uint32_t now = host_.NowMs();
  for (uint32_t h : connections_) {
    QUdpStream& s = *streams_[h];
    if (s.state != kStreamEstablished || s.sendCount == 0) continue;
    s.RestartStatisticsWhenDue(now);
    if (!Retransmit(s)) return false;
  }
  return true;
}

void UdpStreamTable::AcknowledgementPass() {
  const uint32_t now = host_.NowMs();
  acknowledgementWanted_ = false;
  for (const std::vector<uint32_t>* list : {&connections_, &pending_}) {
    for (uint32_t h : *list) {
      QUdpStream& s = *streams_[h];
      if (s.state != kStreamEstablished) continue;
      if (!s.acknowledgementDue && now - s.lastAcknowledgement < kAcknowledgementGapMs) continue;
      s.Deliver();
      s.DropAcknowledgedHead();
      const int held = s.HeldPackets();
      // The sender may hold its window on the base it last heard, whatever its own send base.
      if (held == 0 && s.receiveBase == s.remoteSendBase && s.receiveBase == s.acknowledgedBase &&
          now - s.lastAcknowledgement < kIdleAcknowledgementMs) {
        s.acknowledgementDue = false;
        continue;
      }
      // Twice also for fresh data: a lost acknowledgement would hold the sender's window.
      SendAcknowledgement(s, held >= 2 || s.acknowledgementDue ? 2 : 1);
      s.lastAcknowledgement = now;
      s.acknowledgementDue = false;
    }
  }
}

void UdpStreamTable::Maintenance() {
  EndLingering();
  const uint32_t now = host_.NowMs();
  const std::vector<uint32_t> pending = pending_;
  for (uint32_t h : pending) {
    QUdpStream& s = *streams_[h];
    const bool expired = now - s.lastActivity > timeoutMs_;
    if (s.state == kStreamDead || (s.state == kStreamIncoming && expired)) {
      Remove(pending_, h);
      Recycle(h);
    } else if (s.state == kStreamIncoming) {
      SendSynAck(s);
    } else if (s.state == kStreamEstablished && expired) {
      Kill(s);
    }
  }
  for (uint32_t h : connections_) {
    QUdpStream& s = *streams_[h];
    const uint32_t idle = now - s.lastActivity;
    if (s.state == kStreamIntroducing || s.state == kStreamConnecting) {
      if (idle > timeoutMs_) {
        Kill(s);
      } else if (s.state == kStreamConnecting) {
        SendSyn(s);
      } else if (now - s.introductionTime > kReintroduceMs) {
        s.introductionTime = now;
        host_.RequestIntroduction(s);
      }
    } else if (s.state == kStreamEstablished) {
      if (idle > timeoutMs_) {
        Kill(s);
      } else if (idle > timeoutMs_ / 2) {
        SendKeepAlive(s);
      }
    }
  }
}

void UdpStreamTable::EndLingering() {
  const std::vector<uint32_t> connections = connections_;
  for (uint32_t h : connections) {
    QUdpStream& s = *streams_[h];
    if (s.lingering) EndLingering(s);
  }
}

void UdpStreamTable::EndLingering(QUdpStream& s) {
  const bool live = s.state == kStreamEstablished;
  if (live && s.Undelivered()) return;
  if (live) SendFin(s);
  Remove(connections_, s.handle);
  Recycle(s.handle);
}

// ---- socket-like calls ----

int UdpStreamTable::Socket() {
  QUdpStream* s = NewStream();
  connections_.push_back(s->handle);
  return static_cast<int>(s->handle);
}

int UdpStreamTable::Close(int handle) {
  QUdpStream* s = Find(handle);
  if (!s) return Fail(platform::kWsaEnotsock);
  const auto h = static_cast<uint32_t>(handle);
  if (std::find(bound_.begin(), bound_.end(), h) != bound_.end()) {
    Remove(bound_, h);
    if (s->state == kStreamListening) {
      const std::vector<uint32_t> pending = pending_;
      for (uint32_t p : pending) {
        if (streams_[p]->targetPort != s->targetPort) continue;
        Remove(pending_, p);
        Recycle(p);
      }
    }
  } else {
    const bool live = s->established && s->state != kStreamDead;
    // What the owner wrote is still delivered: the connection stays for the passes to finish.
    if (live && s->Undelivered() &&
        std::find(connections_.begin(), connections_.end(), h) != connections_.end()) {
      s->lingering = true;
      s->waker = nullptr;
      return 0;
    }
    Remove(connections_, h);
    Remove(pending_, h);
    if (live) SendFin(*s);
  }
  Recycle(h);
  return 0;
}

int UdpStreamTable::Bind(int handle, const platform::SockAddrV4& at) {
  const bool inUse = std::any_of(bound_.begin(), bound_.end(), [&](uint32_t h) {
    return streams_[h]->targetPort == at.port;
  });
  if (inUse) return Fail(platform::kWsaEaddrinuse);
  QUdpStream* s = Find(handle);
  if (!s) return Fail(platform::kWsaEnotsock);
  if (s->state != kStreamNew || at.port == 0) return Fail(platform::kWsaEinval);
  Remove(connections_, s->handle);
  bound_.push_back(s->handle);
  s->state = kStreamBound;
  s->targetPort = at.port;
  return 0;
}

int UdpStreamTable::ListeningPort() const {
  for (uint32_t h : bound_) {
    const QUdpStream& s = *streams_.at(h);
    if (s.state == kStreamListening) return s.targetPort;
  }
  return 0;
}

int UdpStreamTable::Listen(int handle, int backlog) {
  QUdpStream* s = Find(handle);
  if (!s || (s->state != kStreamBound && s->state != kStreamListening)) {
    return Fail(platform::kWsaEnotsock);
  }
  backlog = std::max({backlog, backlogLimit_, 5});
  backlogLimit_ = std::min(backlog, kMaxBacklog);
  s->state = kStreamListening;
  return 0;
}

int UdpStreamTable::Accept(int handle, platform::SockAddrV4* peer) {
  QUdpStream* listener = Find(handle);
  if (!listener) return Fail(platform::kWsaEnotsock);
  if (listener->state != kStreamListening) return Fail(platform::kWsaEinval);
  for (uint32_t h : pending_) {
    QUdpStream& s = *streams_[h];
    if (s.state != kStreamEstablished || s.targetPort != listener->targetPort) continue;
    Remove(pending_, h);
    connections_.push_back(h);
    s.lastActivity = host_.NowMs();
    if (peer) {
      peer->ip = s.remoteIp;
      peer->port = static_cast<uint16_t>(s.remotePort);
      std::memcpy(peer->spare, s.remoteIdentity.data(), kUdpTagSize);
    }
    return static_cast<int>(h);
  }
  return Fail(platform::kWsaEwouldblock);
}

int UdpStreamTable::Connect(int handle, const platform::SockAddrV4& to) {
  if (disabled_ || to.ip == 0 || to.ip == kNoAddress || to.port == 0) {
    return Fail(platform::kWsaEnetunreach);
  }
  QUdpStream* s = Find(handle);
  if (!s) return Fail(platform::kWsaEnotsock);
  if (s->state != kStreamNew) return Fail(platform::kWsaEintr);
  const uint32_t now = host_.NowMs();
  s->state = kStreamIntroducing;
  s->lastActivity = now;
  s->introductionTime = now;
  s->remoteIp = to.ip;
  s->remotePort = to.port;
  s->targetPort = to.port;
  s->remoteIdentity = MakeUdpIdentity(to.spare);
  std::memcpy(s->remoteIdentity.data(), to.spare, kUdpTagSize);  // an unknown tag stays so
  s->cookie = nextCookie_++;
  host_.RequestIntroduction(*s);
  return Fail(platform::kWsaEwouldblock);
}

int UdpStreamTable::Send(int handle, const uint8_t* data, int length) {
  QUdpStream* found = Find(handle);
  if (disabled_ || !found || !data || length <= 0) return Fail(platform::kWsaEinval);
  QUdpStream& s = *found;
  if (s.state == kStreamConnecting) return Fail(platform::kWsaEwouldblock);
  if (s.state != kStreamEstablished) return Fail(platform::kWsaEnotconn);
  const size_t taken = std::min(QUdpStream::kSendQueueBytes - s.Queued(), static_cast<size_t>(length));
  if (taken == 0) return Fail(platform::kWsaEwouldblock);
  if (s.outgoingHead > 0 && s.outgoingHead >= s.outgoing.size() / 2) {
    s.outgoing.erase(s.outgoing.begin(), s.outgoing.begin() + static_cast<std::ptrdiff_t>(s.outgoingHead));
    s.outgoingHead = 0;
  }
  s.outgoing.insert(s.outgoing.end(), data, data + taken);
  FillSlots(s);
  return static_cast<int>(taken);
}

void UdpStreamTable::FillSlots(QUdpStream& s) {
  s.DropAcknowledgedHead();
  const uint32_t now = host_.NowMs();
  const int window = s.Window();
  const int limit = s.PayloadLimit();
  while (s.Queued() > 0 && s.sendCount < QUdpStream::kSlots) {
    const int chunk = static_cast<int>(std::min(static_cast<size_t>(limit), s.Queued()));
    const int index = s.sendCount;
    const auto total = static_cast<uint32_t>(kStreamHeaderSize + chunk);
    QUdpStream::SendSlot& slot = s.send[index];
    slot = {};
    // Built where it stays until acknowledged.
    slot.packet = PooledPacket(pool_, static_cast<int>(total));
    if (!slot.packet) break;
    uint8_t* packet = slot.packet.Data();
    std::memset(packet, 0, kStreamHeaderSize);
    StoreBe32(packet + 32, static_cast<uint32_t>(chunk));
    StoreBe32(packet + 36, s.sendBase + static_cast<uint32_t>(index));
    std::memcpy(packet + kStreamHeaderSize, s.outgoing.data() + s.outgoingHead, static_cast<size_t>(chunk));
    SealStreamPacket(packet, total, s.remoteHandle, ++s.packetCounter, kUdpData, s.remoteIdentity.data());
    ++s.sendCount;
    s.outgoingHead += static_cast<size_t>(chunk);
  }
  if (s.Queued() == 0) {
    s.outgoing.clear();
    s.outgoingHead = 0;
  }
  // Packets the window now reaches go out at once, those left behind earlier included, as one
  // run: the system sends it with as few calls as it can.
  const uint8_t* run[QUdpStream::kSlots];
  int lengths[QUdpStream::kSlots];
  int slots[QUdpStream::kSlots];
  int count = 0;
  for (int i = 0; i < std::min(window, s.sendCount); ++i) {
    const QUdpStream::SendSlot& slot = s.send[i];
    if (!slot.packet || slot.sentOnce) continue;
    if (!s.PeerTakes(i)) break;
    run[count] = slot.packet.Data();
    lengths[count] = slot.packet.Length();
    slots[count++] = i;
  }
  const int sent = count > 0 ? host_.SendDatagrams(s.remoteIp, s.remotePort, run, lengths, count) : 0;
  for (int k = 0; k < sent; ++k) {
    QUdpStream::SendSlot& slot = s.send[slots[k]];
    slot.sentOnce = true;
    slot.lastSend = now - 5;
    ++s.sentPackets;
  }
}

int UdpStreamTable::Recv(int handle, uint8_t* buffer, int length) {
  QUdpStream* found = Find(handle);
  if (disabled_ || !found || !buffer || length <= 0) return Fail(platform::kWsaEinval);
  QUdpStream& s = *found;
  if (s.state == kStreamConnecting) return Fail(platform::kWsaEwouldblock);
  const bool draining = s.state == kStreamDead && s.closedByPeer;
  if (s.state != kStreamEstablished && !draining) return Fail(platform::kWsaEnotconn);
  int copied = 0;
  while (copied < length) {
    const bool queued = !s.delivery.empty();
    QUdpStream::Received* r = queued ? &s.delivery.front() : &s.Reorder(0);
    if (!r->packet) break;
    const int payload = static_cast<int>(PayloadLength(r->packet));
    const int n = std::min(length - copied, payload - r->used);
    std::memcpy(buffer + copied, r->packet.Data() + kStreamHeaderSize + r->used,
                static_cast<size_t>(n));
    r->used += n;
    copied += n;
    if (r->used < payload) break;
    if (queued) {
      s.delivery.pop_front();
    } else {
      s.AdvanceReceiveBase();
    }
  }
  if (copied > 0 && !draining) OpenWindow(s);
  if (copied > 0) return copied;
  if (draining) return 0;
  return Fail(platform::kWsaEwouldblock);
}

void UdpStreamTable::OpenWindow(QUdpStream& s) {
  // Packets held behind a full delivery queue move now, and a sender that may be waiting on the
  // base it last heard learns at once that its window opened, not at the server's next pass.
  s.Deliver();
  if (s.receiveBase - s.acknowledgedBase < kWindowUpdatePackets) return;
  SendAcknowledgement(s, 1);
  s.lastAcknowledgement = host_.NowMs();
}

int UdpStreamTable::Readiness(int handle, int what) {
  QUdpStream* s = Find(handle);
  if (!s) return Fail(platform::kWsaEnotsock);
  return Ready(*s, what);
}

int UdpStreamTable::Ready(const QUdpStream& s, int what) const {
  if (s.state == kStreamDead) {
    const bool unread = s.closedByPeer && s.HoldsData();
    return (what & (platform::kWaitRead | platform::kWaitWrite)) | (unread ? 0 : platform::kWaitError);
  }
  int ready = 0;
  if ((what & platform::kWaitRead) && s.state == kStreamListening) {
    const bool waiting = std::any_of(pending_.begin(), pending_.end(), [&](uint32_t h) {
      const QUdpStream& p = *streams_.at(h);
      return p.state == kStreamEstablished && p.targetPort == s.targetPort;
    });
    if (waiting) ready |= platform::kWaitRead;
  }
  if (s.state == kStreamEstablished) {
    if ((what & platform::kWaitRead) && s.HoldsData()) ready |= platform::kWaitRead;
    // Writable once half the queue is free: a writer woken for a few bytes would only spin.
    if ((what & platform::kWaitWrite) && s.Queued() <= QUdpStream::kSendQueueBytes / 2) {
      ready |= platform::kWaitWrite;
    }
  }
  return ready;
}

int UdpStreamTable::WatchReady(int handle, int what, platform::WakeableWait* wait) {
  QUdpStream* s = Find(handle);
  if (!s) return Fail(platform::kWsaEnotsock);
  const int ready = Ready(*s, what);
  s->waker = ready == 0 ? wait : nullptr;
  s->wakeOn = what;
  return ready;
}

void UdpStreamTable::Notify(QUdpStream& s) {
  if (!s.waker || Ready(s, s.wakeOn) == 0) return;
  if (std::find(wakes_.begin(), wakes_.end(), s.waker) == wakes_.end()) wakes_.push_back(s.waker);
  s.waker = nullptr;
}

void UdpStreamTable::WakeWaiters() {
  for (platform::WakeableWait* wait : wakes_) wait->Wake();
  wakes_.clear();
}

int UdpStreamTable::GetSockName(int handle, platform::SockAddrV4* local) {
  QUdpStream* s = Find(handle);
  if (!s || s->state != kStreamEstablished) return Fail(platform::kWsaEnotconn);
  if (local) {
    local->ip = host_.LocalAddress();
    local->port = static_cast<uint16_t>(s->targetPort);
    std::memcpy(local->spare, own_.data(), kUdpTagSize);
  }
  return 0;
}

}  // namespace bw
