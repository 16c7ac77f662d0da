#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/common/TRef.h"

namespace bw {

class TPeerId;
class TPeerObject;
class TPieceRange;
class TPieces;

// What an announce tells a tracker about the task. ip in network order.
struct TAnnounceFacts {
  uint8_t infoHash[20] = {};
  uint8_t peerId[20] = {};
  uint32_t localIp = 0;
  int32_t listenPort = 0;
  uint64_t uploaded = 0;
  uint64_t downloaded = 0;
  uint64_t left = 0;
};

// One outstanding block request: the global block index (piece index × piece length / 16,384 +
// offset / 16,384) and its length.
struct TBlockRequest {
  int64_t block = 0;
  int32_t length = 0;
  uint64_t sentAt = 0;
  bool sent = false;
};

// One entry of the task's wanted list: a piece and the peer that works on it; none for a piece
// the task wants fetched first (begun and left, or failed its check).
struct TWantedPiece {
  int32_t piece = -1;
  const TPeerObject* by = nullptr;
};

// What a peer object needs from the task that drives it. All calls come on the task thread.
class IPeerTask {
 public:
  virtual ~IPeerTask() = default;

  virtual TPieces* Pieces() = 0;
  // Engine clock in seconds.
  virtual uint64_t Clock() = 0;
  virtual bool HasMetadata() = 0;
  virtual bool IsComplete() = 0;
  // False until the piece map is ready to hand out work.
  virtual bool CanSchedule() = 0;
  virtual bool InEndGame() = 0;
  virtual bool PeerConnectionsEnabled() = 0;
  // The piece where the last read request began, -1 before any.
  virtual int32_t CurrentPosition() = 0;
  virtual int32_t MaxConnections() = 0;

  // The range list owns its ranges; removing an entry frees it.
  virtual std::vector<std::unique_ptr<TPieceRange>>& Ranges() = 0;
  virtual bool CreateInitialRanges() = 0;
  // Gives the peer a range (through TPeerObject::SetRange); false when none can be spared.
  virtual bool AssignRange(TPeerObject& peer) = 0;
  // Where a BitTorrent peer starts looking in each file; -1 to go in order.
  virtual int32_t RandomStartPiece() { return -1; }
  // Blocks requested from several peers at once.
  virtual std::vector<TBlockRequest>& EndGameList() = 0;
  // Outstanding requests of a peer that lets them go, for other peers to take.
  virtual void ReturnRequests(const std::vector<TBlockRequest>& requests) = 0;
  // When no piece is left without a worker: the idle peer takes over the slowest or a stalled
  // worker's remaining pieces from the one that worker is on; false when none is worth it.
  virtual bool TakeOverSlowWork(TPeerObject& /*peer*/) { return false; }
  // End game: blocks of the shared list that the BitTorrent peer can serve join its requests.
  virtual bool TakeEndGameBlocks(TPeerObject& /*peer*/, std::vector<TBlockRequest>& /*requests*/) { return false; }
  // The piece is verified: the other peers drop what they still ask of it.
  virtual void PieceVerified(int64_t /*piece*/, TPeerObject& /*by*/) {}
  // The wanted list, oldest entry first: an index once per peer that wants it.
  virtual const std::vector<TWantedPiece>& WantedList() = 0;
  // Enters the peer on the piece; false when enough peers want it already.
  virtual bool WantPiece(int32_t piece, const TPeerObject& by) = 0;
  // The peer wants none of its pieces any more; those it began stay wanted by the task.
  virtual void ReleaseWanted(const TPeerObject& by) = 0;

  // False while the task has no metadata to announce.
  virtual bool GetAnnounceFacts(TAnnounceFacts* /*facts*/) { return false; }
  // A tracker answered: the seconds before the task announces again, and its line in the
  // tracker report.
  virtual void TrackerAnswered(int64_t /*interval*/, const std::string& /*report*/) {}

  virtual void AddDownloaded(int64_t bytes) = 0;
  // Payload bytes delivered by a source of the given kind.
  virtual void AddKindBytes(int32_t kind, int64_t bytes) = 0;
  // Backs the identity off by at least one second per penalty.
  virtual void PenalizeSource(TPeerId& id, int32_t seconds) = 0;
  // Received bytes are waiting: run the next cycle soon.
  virtual void RequestCycleSoon() = 0;

  // Bytes the task may still take in this cycle.
  virtual int64_t DownloadBudget() { return INT64_MAX; }
  // Bytes the task may still send in this cycle.
  virtual int64_t UploadBudget() { return INT64_MAX; }
  // Bytes per second since the task started.
  virtual int64_t AverageDownloadRate() { return 0; }
  // How many BitTorrent peers the upload rate lets the task serve at once.
  virtual int32_t UploadSlots() { return 6; }
  // Drops the identity from the candidate list.
  virtual void RemoveSource(TPeerId& /*id*/) {}
  // A further source learned from one (a redirect); the task takes its own reference.
  virtual void AddSource(TPeerId& /*id*/) {}
  virtual void SetErrorCode(int32_t /*code*/) {}
  virtual void NoteLookupFailure() {}
  virtual void SetTaskState(int32_t /*state*/) {}

  // Dialled BitTorrent peers are greeted with an HTTP request before the handshake.
  virtual bool HttpDisguise() { return false; }
  // The task's 68-byte BitTorrent handshake; null until its metadata is ready.
  virtual const uint8_t* SwarmHandshake() { return nullptr; }
  // The identity of a peer that dialled the task, found or made for its address and peer id;
  // null when the same peer is already connected from that address.
  virtual TPeerId* IdentifyIncoming(uint32_t /*ip*/, int32_t /*port*/, const uint8_t* /*peerId*/) { return nullptr; }
  // The verified pieces, most significant bit first; empty without a piece map.
  virtual std::span<const uint8_t> PieceBitmap() { return {}; }
  // Payload bytes a BitTorrent peer sent.
  virtual void AddUploaded(int64_t /*bytes*/) {}

  virtual std::vector<TRef<TPeerObject>>& ActivePeers() = 0;
  virtual void SetPeerRates(int64_t downloadRate, int64_t uploadRate) = 0;
};

}  // namespace bw
