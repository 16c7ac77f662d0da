#include "engine/net/QUdpStream.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace bw {
namespace {
constexpr uint32_t kStatisticsPeriodMs = 120000;
}

PooledPacket::PooledPacket(QBufferPool& pool, int length)
    : pool_(&pool), data_(pool.Alloc(length)), length_(data_ ? length : 0) {}

PooledPacket::PooledPacket(QBufferPool& pool, const uint8_t* bytes, int length) : PooledPacket(pool, length) {
  if (data_) std::memcpy(data_, bytes, static_cast<size_t>(length));
}

PooledPacket& PooledPacket::operator=(PooledPacket&& other) noexcept {
  if (this != &other) {
    Release();
    pool_ = std::exchange(other.pool_, nullptr);
    data_ = std::exchange(other.data_, nullptr);
    length_ = std::exchange(other.length_, 0);
  }
  return *this;
}

void PooledPacket::Release() {
  if (data_) pool_->Free(data_);
  data_ = nullptr;
  length_ = 0;
}

void QUdpStream::Reset(uint32_t newHandle) {
  FreeBuffers();
  QUdpStream fresh;
  fresh.handle = newHandle;
  // Only plain fields remain after FreeBuffers, so member-wise moving is cheap.
  *this = std::move(fresh);
}

void QUdpStream::FreeBuffers() {
  delivery.clear();
  outgoing.clear();
  outgoingHead = 0;
  for (Received& r : reorder) r = {};
  reorderHead = 0;
  for (SendSlot& s : send) s = {};
  sendCount = 0;
}

int QUdpStream::LossRate() const {
  if (sentPackets <= 23) return 50;
  return static_cast<int>(uint64_t{retransmittedPackets} * 100 / sentPackets);
}

int QUdpStream::Window() const {
  const int slots = std::min(kSlots, peerSlots);
  return std::clamp(slots * (105 - LossRate()) / 100, 1, slots);
}

int QUdpStream::PayloadLimit() const { return LossRate() > 30 ? 660 : 1320; }

int QUdpStream::InFlight() const {
  int n = 0;
  for (int i = 0; i < sendCount; ++i) n += send[i].packet ? 1 : 0;
  return n;
}

bool QUdpStream::PeerTakes(int index) const {
  return sendBase + static_cast<uint32_t>(index) - remoteReceiveBase < static_cast<uint32_t>(peerSlots);
}

bool QUdpStream::HoldsData() const { return !delivery.empty() || bool(Reorder(0).packet); }

void QUdpStream::AdvanceReceiveBase() {
  Reorder(0) = {};
  reorderHead = (reorderHead + 1) % kSlots;
  ++receiveBase;
}

int QUdpStream::HeldPackets() const {
  int held = 0;
  for (const Received& r : reorder) held += r.packet ? 1 : 0;
  return held;
}

void QUdpStream::Deliver() {
  while (Reorder(0).packet && delivery.size() < kDeliveryPackets) {
    delivery.push_back(std::move(Reorder(0)));
    AdvanceReceiveBase();
  }
}

void QUdpStream::DropAcknowledgedHead() {
  int n = 0;
  while (n < sendCount && !send[n].packet) ++n;
  if (n == 0) return;
  std::move(send + n, send + kSlots, send);
  for (int i = kSlots - n; i < kSlots; ++i) send[i] = {};
  sendCount -= n;
  sendBase += static_cast<uint32_t>(n);
}

void QUdpStream::RestartStatisticsWhenDue(uint32_t now) {
  if (now - statisticsStart < kStatisticsPeriodMs) return;
  sentPackets = 0;
  retransmittedPackets = 0;
  statisticsStart = now;
}

}  // namespace bw
