#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/common/BlockSize.h"
#include "engine/common/TRef.h"
#include "engine/common/TRefObject.h"
#include "engine/sources/IPeerTask.h"
#include "engine/sources/TPeerId.h"
#include "engine/sources/TVirtualPeer.h"

namespace bw {

class QSocket;
class TPieceRange;
class TPieceSender;

// The common part of every source connection: connection bookkeeping, the walk over the
// task's piece runs, block request planning and the hand-over of received blocks.
class TPeerObject : public TVirtualPeer, public TRefObject {
 public:
  // Byte and rate figures are ranked in units of this many bytes.
  static constexpr int64_t kRankUnit = 2048;
  // What one step of a URL source reads at most from a server that keeps the socket full.
  static constexpr int64_t kMaxStepBytes = int64_t{4} << 20;
  // One read's size at most, which also bounds the receive buffer of a URL source.
  static constexpr int64_t kMaxReadSize = int64_t{1} << 20;
  // What the receive buffers of a task's connections may hold together; a connection's share
  // never falls below the first read.
  static constexpr int64_t kTaskReceiveMemory = int64_t{8} << 20;

  enum LinkState : int32_t { kNoLink = 0, kLinked = 1, kGreeted = 2 };
  enum WorkState : uint32_t {
    kIdle = 0,
    kActive = 1,
    kTimedOut = 5,
    kFinished = 6,
  };
  // The protocol-specific state a delivered block moves on from.
  static constexpr uint32_t kAwaitingData = 4;

  struct Stats {
    bool incoming = false;
    uint64_t startTime = 0;
    uint32_t startMs = 0;  // the pool's tick count when it started the connection
    uint64_t lastDataTime = 0;
    bool hasData = false;
    bool settled = false;
    bool chokeChanged = false;
    int32_t idle = 0;
    int32_t currentPiece = -1;
    int32_t rangesTaken = 0;
    uint64_t stallSent = 0;
    uint64_t stallReceived = 0;
    int32_t remotePieces = 0;  // BitTorrent: pieces the remote side has
    int32_t failures = 0;      // pieces from this peer that failed their check
    int32_t passedPieces = 0;  // pieces from this peer that passed it
    // A piece from it failed after its delivery (hashed off the task thread): the connection
    // ends at its next delivery, as it would have at the failing block.
    bool failedSinceDelivery = false;
  };
  struct Counters {
    int64_t stepReceived = 0;
    int64_t stepSent = 0;
    int64_t windowDelivered = 0;
    int64_t windowSent = 0;
    int64_t downloadRate = 0;
    int64_t uploadRate = 0;
    int64_t deliveredKiB = 0;
    int64_t deliveredRest = 0;  // bytes not yet making up a whole KiB
  };

  TPeerObject(uint32_t peerType, IPeerTask* task);
  ~TPeerObject() override;

  // Slots after the abstract interface, in the order subclasses override them.
  bool FlushOutput() override;
  bool PlanRequests() override;
  bool ServeUploads() override;
  void Reset() override;
  virtual bool DownloadStep();
  virtual bool UploadStep();
  virtual bool SendRequests();
  // How many requests PlanRequests queues at most.
  virtual int64_t RequestDepth() const;
  virtual bool ConnectTo(TPeerId* peerId);
  virtual bool AttachSocket(std::unique_ptr<QSocket> socket);
  virtual bool OnAttached();
  virtual bool CheckIncoming(QSocket& socket);
  virtual bool IsUseless();
  virtual bool IsDroppable(bool keepSeeds);
  virtual bool IsTimedOut();
  virtual bool IsConnected();
  // The connect of the peer's socket is still under way.
  bool IsConnecting() const;
  // The connection whose traffic a step counts: the one that carries the payload.
  virtual QSocket* CountedSocket() const { return socket_.get(); }
  // Received bytes wait that a step can use without any further read.
  virtual bool HasUnreadInput() const;
  // The peer exchanges commands and replies: its steps follow the network's round trips, not
  // its data rate.
  virtual bool InDialogue() const { return false; }
  virtual int64_t RemoteRate();
  virtual bool IsStale();
  virtual bool ShouldDisconnect();
  virtual void Maintain();
  virtual bool IsSeed();
  virtual void ReleaseRange();
  // The next piece to work on, -1 for none.
  virtual int32_t NextPiece();
  // Another peer completed the piece: its requests not yet sent are dropped.
  virtual void CancelPiece(int64_t piece);
  // The piece is needed again: it failed its check, or its write was lost.
  virtual void PieceWantedAgain(int64_t /*piece*/) {}
  // The pieces the remote side has and those not to ask it for (BitTorrent; bits as the
  // task's bitmap).
  virtual std::span<const uint8_t> RemoteHave() const { return {}; }
  virtual std::span<const uint8_t> ExcludedPieces() const { return {}; }

  // Hands a received block to the piece map. False for a block that was not asked for, one
  // that failed its piece check, or bad input.
  bool DeliverBlock(int64_t block, int32_t length, const uint8_t* data);
  // The same for a block named by piece and offset, as a remote side names it.
  bool DeliverPieceBlock(int64_t piece, int64_t offset, int32_t length, const uint8_t* data);
  // -1 unless offset is block-aligned inside a piece of the map.
  static int64_t GlobalBlock(const TPieces& pieces, int64_t piece, int64_t offset);

  // The download rate, or what the open window already shows when that is more: a source that
  // just started is not taken for an idle one.
  int64_t RecentRate() const;
  // The same for the upload rate.
  int64_t RecentSendRate() const;
  // The largest read of a URL source: its share of the task's receive memory, within
  // [QSocket::kDefaultReadSize, kMaxReadSize].
  int64_t MaxReadSize() const;
  // Bytes per second since the connect completed; 0 before it.
  int64_t AverageSendRate(uint64_t now) const;
  int64_t AverageReceiveRate(uint64_t now) const;

  // The task's range assignment names the worker's range here.
  void SetRange(TPieceRange* range);
  TPieceRange* Range() const { return range_; }

  int32_t Kind() const { return static_cast<int32_t>(peerType); }
  // A piece this connection sent failed its check / passed it.
  void NotePieceFailed();
  void NotePiecePassed();

  bool IsUrlSource() const { return peerType == 2 || peerType == 4; }
  bool IsBitTorrent() const { return peerType == 1; }
  bool GreetingComplete() const;
  bool HasRequest(int64_t block) const;
  bool HasRequestInPiece(int64_t piece) const;
  TPeerId* PeerId() const { return peerId_.get(); }
  QSocket* Socket() const { return socket_.get(); }
  IPeerTask* Task() const { return task_; }
  const std::vector<TBlockRequest>& Requests() const { return requests_; }

  int32_t linkState = kNoLink;
  uint32_t workState = kIdle;
  const uint32_t peerType;
  int32_t lastPosition = -1;
  Stats stats;
  Counters counters;

 protected:
  void QueueRequest(int64_t block, int32_t length) { requests_.push_back({block, length, 0, false}); }
  // A walked-through range: kept for a second pass while it has needed pieces, else removed.
  void LeaveExhaustedRange();
  // Nothing has arrived for more than limitSeconds (twice that for a source below 2 KiB/s) since
  // the last data or the connect.
  bool SilentFor(int64_t limitSeconds) const;
  // Takes a reference on the identity the connection serves, letting go of the one held before.
  void HoldIdentity(TPeerId* peerId);
  std::vector<TBlockRequest> requests_;
  std::vector<TBlockRequest> uploadRequests_;

 private:
  // Measures the step's traffic from the socket totals taken before it.
  void CountStep(const QSocket* socket, uint64_t sentBefore, uint64_t receivedBefore);
  bool IsNeeded(int64_t piece) const;
  int32_t WalkRange();
  bool ClaimRange();
  void RemoveRange(TPieceRange* range);
  bool MoveToPosition(int32_t position);
  void AddRange(int32_t first, int32_t last);
  bool RemoveRequest(int64_t block, int32_t length);
  void DropEndGamePiece(int64_t piece);
  void ReturnRequests();
  void ReleaseIdentity();

  TRef<TPeerId> peerId_;
  // Names the identity to the piece map, from the first block delivered until the identity goes.
  TRef<TPieceSender> sender_;
  TPieceRange* range_ = nullptr;
  std::unique_ptr<QSocket> socket_;
  IPeerTask* task_;
};

}  // namespace bw
