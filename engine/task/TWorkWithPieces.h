#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/common/TRef.h"
#include "engine/frame/QTMutex.h"
#include "engine/sources/TPeerUpkeep.h"
#include "engine/storage/IPiecesTask.h"
#include "engine/storage/ITorrentTask.h"
#include "engine/storage/TPieces.h"
#include "engine/storage/TTorrent.h"
#include "engine/task/StallReport.h"
#include "engine/task/TWorkWithPeers.h"

namespace bw {

class IPeerTask;
struct TAnnounceFacts;
class TPieceScheduler;

// The task's piece map and metadata link, and what the piece map reports back.
class TWorkWithPieces : public TWorkWithPeers, public IPiecesTask, public ITorrentTask {
 public:
  static constexpr int kHandshakeSize = 68;  // BitTorrent handshake prefix ending in the peer id
  // Growth of piece memory within a pass that makes room at once (one step of a source at most).
  static constexpr int64_t kPieceMemoryStep = int64_t{4} << 20;

  TWorkWithPieces();
  ~TWorkWithPieces() override;

  void Reset(int full, int flag) override;

  // IPiecesTask
  void OnPiecesEvent(const TPiecesEvent& event) override;
  bool StopRequested() override { return IsStopRequested(); }
  int64_t Clock() override;
  bool MetadataLoaded() override { return HasMetadata(); }
  void ReportEvent(const char* code, const std::string& text) override;

  // ITorrentTask
  void SetWorkState(int32_t state) override { working.workState = state; }
  void StopWithError(int32_t error) override;

  bool HasMetadata() const { return metadataLoaded; }
  // Copies the piece map's counters into the working block; publishes when done bytes changed.
  virtual void SyncFromPieces();

  int GetFileCount();
  int64_t GetFileSize(int index);
  // kind 1: the file's name in the torrent, 2: where its data lies now, 3: its final path; -1 when index is out of range.
  int GetFileText(int index, int kind, char out[kTextSize]);

  bool DiskFull() const { return diskFull; }

  // Once the metadata is loaded: builds the handshake prefix with the info hash and this task's
  // peer id, then joins the swarm.
  void PrepareSwarmIdentity();
  bool SwarmIdentityReady() const { return swarmReady_; }
  const uint8_t* Handshake() const { return handshake_; }
  const uint8_t* SwarmHandshake() const override { return swarmReady_ ? handshake_ : nullptr; }

  // What the peer objects of this task work with.
  IPeerTask& PeerTask();
  // From any thread: copies bytes of a file once the task thread serves the request. Returns
  // the count read, -3 when they are not all present, -5 when the task stops, -6 on another
  // failure and -7 when the task thread did not take the request within three seconds.
  int64_t ReadRange(int32_t file, uint8_t* buffer, int64_t offset, int64_t length);
  // A torrent file fetched from a source becomes the metadata to load; later copies and bytes
  // that do not decode are ignored.
  bool AcceptTorrent(const std::string& bytes);

 protected:
  // Loads the torrent metadata from the task's torrent bytes and builds the piece map; false
  // while there is no metadata.
  virtual bool LoadMetadata();
  // The torrent's announce address, part of what the peer id is made from.
  virtual std::string AnnounceAddress() { return torrent ? torrent->Announce : std::string(); }
  std::vector<std::string> TorrentTrackers() override { return torrent ? torrent->Trackers : std::vector<std::string>(); }
  // The swarm identity and byte figures a tracker is told; false before the metadata.
  bool GetAnnounceFacts(TAnnounceFacts* facts);
  // Creates an empty piece map bound to this task with the task's paths.
  TPieces& CreatePieceMap();
  TPieces* PieceMap() { return pieces.get(); }
  // A piece became complete: the scheduler drops it from its wanted and end-game lists.
  virtual void OnPieceCompleted(int32_t piece);
  // Drops pieces the task no longer wants from the wanted list; once the content is complete
  // the end-game list goes too.
  virtual void PruneWanted();
  TPieceScheduler& PieceScheduler();
  // Loads the metadata again once a torrent file has arrived; a new piece length splits the
  // URL sources' work anew. Publishes the result.
  void ReloadMetadata();
  // Serves the queued read requests; called once per loop step on the task thread.
  void ServeReadRequests();
  // Once a second: a task that has received nothing for a while although pieces are missing and
  // sources are there logs the scheduler's view once.
  void WatchForStall(uint64_t now);
  // A new peer object of a kind this build can talk to.
  TRef<TPeerObject> NewPeerObject(int32_t kind) override;
  // A URL source with one connection is worth a second one only while a range of its own, or of
  // a source that no longer serves, waits.
  bool SourceHasWork(TPeerId& id) override;
  bool SourceWorksInRanges(const TPeerId& id) override;
  // Parsed HTTP and FTP sources that serve the content (not the torrent file), in list order.
  std::vector<TPeerId*> UsableUrlSources() override;
  // Whether a candidate is one of them.
  static bool ServesRanges(const TPeerId& id);
  // A task without a torrent learns its size from the first source that answers and builds a
  // piece map without hashes of one file of that size; false until then.
  bool BuildPieceMapFromSources();
  // Takes the torrent file a source has fetched whole and lets the peer go.
  void FetchTorrentFromSources();
  // Also drops the torrent source once the metadata is in.
  void PruneCandidates() override;
  // The three-second rate window and pruning of the active peers.
  virtual void RunPeerUpkeep() { peerUpkeep_.Tick(PeerTask()); }
  // Writes verified pieces out of memory on every tick, trims the cache when it is over its limit
  // (so that a fast source cannot make the map hold more), and keeps it on the regular round.
  enum class CacheRound { kTick, kRegular };
  void MaintainPieceCache(CacheRound round);
  // Piece memory has grown past the arriving pieces' share by a step since the last cache round:
  // connections whose kernel buffers filled during a pause would otherwise bring all of it into
  // memory in one pass before the round at its end.
  bool PieceMemoryPressed() const;
  // Bytes the peers may still take in this cycle; the statistics layer sets the limit.
  virtual int64_t PeerDownloadBudget() { return INT64_MAX; }
  virtual int64_t PeerUploadBudget() { return INT64_MAX; }
  virtual int32_t PeerUploadSlots() { return 6; }
  // Transfer figures the peers report; the statistics layer keeps them.
  virtual void AddDownloaded(int64_t) {}
  virtual void AddUploaded(int64_t) {}
  virtual void AddKindBytes(int32_t, int64_t) {}
  virtual void SetPeerRates(int64_t, int64_t) {}
  virtual void RequestCycleSoon() {}

  void RefreshReports(bool force) override;
  std::span<const uint8_t> PieceBitmap() override;
  int PieceCount() override;
  void RequestStop();

  TRef<TPieces> pieces;
  TRef<TTorrent> torrent;
  bool metadataLoaded = false;
  bool diskFull = false;
  bool bitmapChanged = false;
  bool reloadMetadata = false;  // a torrent file has arrived from a source

 private:
  class TaskScheduler;
  struct ReadRequest;

  void RefreshCounters();
  void ServeRead(ReadRequest& request);
  // Hands the task's saved state to a new piece map.
  void RestoreInto(TPieces& map);
  void SetErrorStatus(int32_t code);

  // Set by the task thread once handshake_ is written; read from other threads too.
  std::atomic<bool> swarmReady_{false};
  uint8_t handshake_[kHandshakeSize] = {};
  std::string bitmap_;
  int32_t bitmapPieces_ = 0;
  std::unique_ptr<TaskScheduler> scheduler_;
  TPeerUpkeep peerUpkeep_;
  QTMutex readLock_;
  std::vector<ReadRequest*> reads_;  // the requests live on their callers' stacks
  int32_t currentPosition_ = -1;
  int64_t memoryAfterRound_ = 0;  // piece memory after the last tick round
  StallWatch stallWatch_;
};

}  // namespace bw
