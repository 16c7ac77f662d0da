#pragma once
#include <cstdint>
#include <cstddef>
#include <deque>
#include <vector>

#include "engine/common/QBufferPool.h"
#include "engine/net/UdpIdentity.h"
#include "platform/WakeableWait.h"

namespace bw {

// One datagram held by a stream connection, its buffer taken from the transport's pool.
class PooledPacket {
 public:
  PooledPacket() = default;
  PooledPacket(QBufferPool& pool, const uint8_t* bytes, int length);
  // Room for length bytes that the caller fills.
  PooledPacket(QBufferPool& pool, int length);
  ~PooledPacket() { Release(); }
  PooledPacket(PooledPacket&& other) noexcept { *this = std::move(other); }
  PooledPacket& operator=(PooledPacket&& other) noexcept;
  PooledPacket(const PooledPacket&) = delete;
  PooledPacket& operator=(const PooledPacket&) = delete;

  explicit operator bool() const { return data_ != nullptr; }
  const uint8_t* Data() const { return data_; }
  uint8_t* Data() { return data_; }
  int Length() const { return length_; }
  void Release();

 private:
  QBufferPool* pool_ = nullptr;
  uint8_t* data_ = nullptr;
  int length_ = 0;
};

enum UdpStreamState : int {
  kStreamNew = 0,
  kStreamIntroducing = 1,
  kStreamConnecting = 2,
  kStreamIncoming = 3,
  kStreamEstablished = 5,
  kStreamDead = 6,
  kStreamBound = 7,
  kStreamListening = 8,
};

// One connection of the stream transport (or a bound or listening socket): its handshake state,
// the send slots not yet acknowledged, and the received packets waiting to be read.
struct QUdpStream {
  // Packets in flight, and slots a receiver holds ahead of its base. A loopback round trip is
  // far shorter than the time the two server threads take to be scheduled on a busy machine, so
  // the window, not the round trip, sets the rate: 256 packets (330 KiB) a round.
  static constexpr int kSlots = 256;  // a power of two: the reorder ring wraps with it
  // What a peer is taken to hold until its acknowledgement announces its slot count: the flags
  // of an acknowledgement's header.
  static constexpr int kPlainAckSlots = 24;
  // What send takes beyond the packets in flight, and what is kept for recv beyond the reorder
  // slots: the server sends (and acknowledges) as the peer answers, not at the caller's pace, so
  // both must cover the caller's pause between two calls at the rate the window allows.
  static constexpr size_t kSendQueueBytes = 1024 * 1024;
  static constexpr size_t kDeliveryPackets = 512;

  struct SendSlot {
    PooledPacket packet;  // the whole datagram; empty once acknowledged
    uint32_t lastSend = 0;
    bool sentOnce = false;
    bool reportedMissing = false;  // the peer holds a later packet but not this one
    int heldAfter = 0;             // later packets the peer holds, by its last acknowledgement
    int retries = 0;
  };
  struct Received {
    PooledPacket packet;  // the whole datagram, payload from the header's end
    int used = 0;         // payload bytes already read
  };

  // Clears everything but the handle, for a fresh start from the free list.
  void Reset(uint32_t newHandle);
  void FreeBuffers();

  int LossRate() const;
  int Window() const;
  int PayloadLimit() const;
  int InFlight() const;
  // The peer takes the packet in send slot index (it lies inside its reorder slots).
  bool PeerTakes(int index) const;
  size_t Queued() const { return outgoing.size() - outgoingHead; }
  // Data taken by send that the peer has not acknowledged yet.
  bool Undelivered() const { return Queued() > 0 || InFlight() > 0; }
  bool HoldsData() const;
  // Reorder slot i counted from the receive base. The slots are a ring: moving the base moves no
  // packet.
  Received& Reorder(uint32_t i) { return reorder[(reorderHead + i) % kSlots]; }
  const Received& Reorder(uint32_t i) const { return reorder[(reorderHead + i) % kSlots]; }
  // The packet at the receive base is used up or delivered: its slot empties and the base moves on.
  void AdvanceReceiveBase();
  int HeldPackets() const;
  // In-order packets from the reorder slots to the delivery queue while it has room.
  void Deliver();
  // Acknowledged packets at the head of the send slots go; the send base advances.
  void DropAcknowledgedHead();
  // The loss statistics start over every 120 seconds.
  void RestartStatisticsWhenDue(uint32_t now);

  uint32_t handle = 0;
  int state = kStreamNew;
  UdpIdentity remoteIdentity{};
  uint32_t introductionSequence = 0;
  uint32_t remoteEpoch = 0;
  bool epochKnown = false;
  uint32_t packetCounter = 0;
  int remotePort = 0;
  uint32_t remoteHandle = 0;
  uint32_t acknowledgedBytes = 0;
  uint32_t receivedBytes = 0;
  uint32_t remoteIp = 0;
  uint32_t lastActivity = 0;      // ms
  uint32_t introductionTime = 0;  // ms
  int targetPort = 0;
  uint32_t portField = 0;
  uint32_t cookie = 0;
  uint32_t receiveBase = 0;
  uint32_t sendBase = 0;
  bool accepted = false;
  bool established = false;
  bool closedByPeer = false;  // a FIN, as opposed to a failure
  // Closed by its owner with data not yet acknowledged: it lives on, unreachable by its handle,
  // until the peer has everything or is gone.
  bool lingering = false;
  bool acknowledgementDue = false;
  uint32_t lastAcknowledgement = 0;  // ms
  uint32_t acknowledgedBase = 0;     // the receive base the last acknowledgement told
  uint32_t remoteSendBase = 0;
  uint32_t remoteReceiveBase = 0;
  int peerSlots = kPlainAckSlots;
  uint32_t sentPackets = 0;
  uint32_t retransmittedPackets = 0;
  uint32_t statisticsStart = 0;  // ms
  platform::WakeableWait* waker = nullptr;  // woken once when one of wakeOn becomes ready
  int wakeOn = 0;
  std::deque<Received> delivery;
  std::vector<uint8_t> outgoing;  // taken by send, not yet cut into packets, from outgoingHead
  size_t outgoingHead = 0;
  Received reorder[kSlots];  // through Reorder
  uint32_t reorderHead = 0;
  SendSlot send[kSlots];
  int sendCount = 0;  // slots in use from the send base, acknowledged ones included
};

}  // namespace bw
