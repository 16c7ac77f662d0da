#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/sources/TPeerObject.h"

namespace bw {

// The peer wire state of one BitTorrent connection, as a new connection starts it.
struct TBTWireState {
  static constexpr size_t kHandshakeSize = 68;

  // What GetStats reports for this kind.
  struct StatsRecord {
    int32_t haveMessages = 0;  // have messages received in the current rate window
  };

  std::array<uint8_t, kHandshakeSize> handshake{};
  // One bit per piece, the most significant bit of byte 0 for piece 0.
  std::vector<uint8_t> remoteHave;
  // Pieces not to be chosen for this peer, bits as in remoteHave.
  std::vector<uint8_t> triedPieces;
  StatsRecord statsRecord;
  bool handshakeSent = false;
  bool amInterested = false;
  bool amChoking = true;
  bool peerChoking = true;  // the remote side starts out choking us
  bool nothingToOffer = false;
  uint64_t nothingToOfferSince = 0;
  int32_t haveCount = 0;
  int32_t haveCountAtBitfield = 0;
  int32_t lastHaveIndex = -1;
  // The piece whose blocks are being asked for, -1 for none.
  int32_t openPiece = -1;
  // Engine-clock seconds, 0 for not set.
  uint64_t chokedSince = 0;
  uint64_t seedSince = 0;
  uint64_t lastPlanTime = 0;
  // Blocks' worth of bytes the last read brought: how fast the remote answers between steps.
  int32_t stepBlocks = 0;
  bool flushToggle = false;
  // Bytes the last ServeUploads put on the socket.
  int64_t lastServed = 0;
  // Requests withdrawn by a cancel, whose answers may still be on their way.
  std::vector<TBlockRequest> cancelled;
};

// What choosing a piece looks at, one entry a piece. A planning step chooses piece after piece:
// it is built once for the step and kept up with what the step changes.
struct TPieceChoiceView {
  bool inStep = false;  // a planning step runs: the view stays for its further choices
  bool built = false;
  std::vector<bool> asked;           // this peer asked for the piece, or chose it in this step
  size_t requestsSeen = 0;           // the peer's requests already marked in asked
  std::vector<uint8_t> held;         // what keeps it from being a free choice for this peer
  std::vector<int32_t> wantedFirst;  // the task's own entries of its wanted list, oldest first
};

// A BitTorrent peer: one remote side of the swarm. Requests put on the wire are the base's
// requests marked as sent.
class TBTPeer : public TPeerObject, public TBTWireState {
 public:
  // Upload requests a remote side may have queued with us; more wait unread.
  static constexpr size_t kMaxUploadRequests = 256;
  static constexpr uint64_t kConnectTimeout = 22;
  static constexpr uint64_t kUdpConnectTimeout = 28;  // the introduction comes first
  static constexpr uint64_t kHandshakeTimeout = 12;
  // Past this much queued for sending, no further block is read for uploads.
  static constexpr int64_t kMaxSendQueued = int64_t{256} << 10;
  // Withdrawn requests remembered for their late answers.
  static constexpr size_t kMaxCancelled = 256;
  // The largest single read: the receive buffer holds about this much and one message.
  static constexpr int64_t kReadChunk = int64_t{256} * 1024 + 1024;

  explicit TBTPeer(IPeerTask* task) : TPeerObject(1, task) {}

  bool ConnectTo(TPeerId* peerId) override;
  // An accepted connection whose handshake the listener has already read: the socket still
  // holds it, and the step checks it as for a dialled one.
  bool AttachSocket(std::unique_ptr<QSocket> socket) override;
  bool OnAttached() override;
  bool ReadInput() override;
  bool PlanRequests() override;
  bool SendRequests() override;
  int64_t RequestDepth() const override;
  bool ServeUploads() override;
  bool FlushOutput() override;
  void Maintain() override;
  void Reset() override;
  // Only a whole message: the rest of a partial one is still on its way.
  bool HasUnreadInput() const override;
  bool IsSeed() override;
  int32_t NextPiece() override;
  void PieceWantedAgain(int64_t piece) override;
  bool ShouldDisconnect() override;
  bool IsStale() override;
  bool IsUseless() override;
  int64_t RemoteRate() override;
  void Choke();
  void Unchoke();
  // Kind 1: this connection's record; null for any other kind.
  StatsRecord* GetStats(int32_t kind) { return kind == 1 ? &statsRecord : nullptr; }
  std::span<const uint8_t> RemoteHave() const override { return remoteHave; }
  std::span<const uint8_t> ExcludedPieces() const override { return triedPieces; }

 private:
  bool SendHandshake();
  // Requests to keep on the wire.
  int64_t WireTarget() const;
  int64_t AnsweredBlocks() const;
  int64_t FirstPieceBlocks() const;
  bool HasUnaskedBlocks(int32_t piece) const;
  // Held elsewhere: bits of PiecesHeldElsewhere.
  static constexpr uint8_t kInUrlRange = 1;     // a URL source is to walk it
  static constexpr uint8_t kWithOtherPeer = 2;  // asked of another peer, or in its run
  using PieceFilter = std::function<bool(int64_t)>;

  // The remote has it, it is not excluded for this peer, the task needs it and this peer has not
  // asked for it (asked: one flag a piece).
  bool MayTake(int64_t piece, const std::vector<bool>& asked) const;
  // Builds the view when it is not, and marks the pieces of requests queued since.
  void RefreshView();
  void PiecesHeldElsewhere(std::vector<uint8_t>& held) const;
  int32_t ChoosePiece();
  // The first way of choosing that finds a piece, in order of preference.
  int32_t FirstChoice();
  // From the piece the reader of the content is at, upwards.
  int32_t FromPosition(const PieceFilter& free) const;
  // Beside URL sources: a piece from the tail of their ranges; -1 when they leave none.
  int32_t TailPiece(const PieceFilter& takes);
  // Takes pieces first..last off the tail of a URL source's range as this peer's own run.
  void ClaimRun(TPieceRange& from, int32_t first, int32_t last);
  // The pieces the task itself wants first (failed ones, those begun and left), oldest first.
  int32_t FromWantedList(const PieceFilter& free) const;
  // Files from the most wanted priority down, each from a random start (in order without one).
  int32_t ByFilePriority(const PieceFilter& free);
  // Upwards through a range the task gave this peer; leaves it once walked through.
  int32_t WalkGivenRange(const std::vector<bool>& asked);
  bool RemoteHasWanted() const;
  bool CheckHandshake();
  // Walks the held messages; false when the connection must end.
  bool ParseHeld();
  bool OnMessage(int32_t id, const uint8_t* payload, uint32_t size);
  bool OnRequest(const uint8_t* payload, bool cancel);
  // The remote side misbehaved: its identity waits before it is dialled again.
  bool Fail();
  // Ends the link without a back-off of its own: the reason was charged already.
  bool EndLink();
  bool SendText(const std::string& text);
  void CancelAll();
  // A request of ours on the wire, or an end-game entry, names the block.
  bool Awaits(int64_t block, int32_t length) const;
  // A piece message whose header is held but not yet its data: false when nobody asked for it.
  bool AwaitsPartialPiece(const uint8_t* data, size_t len) const;
  void RememberCancel(const TBlockRequest& r);
  bool ForgetCancelled(int64_t block, int32_t length);
  int64_t PieceCount() const;
  int32_t ConnectedPeers() const;

  TPieceChoiceView view_;
};

}  // namespace bw
