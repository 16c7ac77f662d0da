#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "engine/storage/IPiecesTask.h"
#include "engine/storage/ITorrentTask.h"
#include "engine/storage/TPieces.h"
#include "engine/storage/TTorrent.h"
#include "engine/task/TWorkWithPeers.h"

namespace bw {

// The task's piece map and metadata link, and what the piece map reports back.
class TWorkWithPieces : public TWorkWithPeers, public IPiecesTask, public ITorrentTask {
 public:
  static constexpr int kHandshakeSize = 68;  // BitTorrent handshake prefix ending in the peer id

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

 protected:
  // Loads the torrent metadata from the task's torrent bytes and builds the piece map; false
  // while there is no metadata.
  virtual bool LoadMetadata();
  // The torrent's announce address, part of what the peer id is made from.
  virtual std::string AnnounceAddress() { return torrent ? torrent->Announce : std::string(); }
  // Creates an empty piece map bound to this task with the task's paths.
  TPieces& CreatePieceMap();
  TPieces* PieceMap() { return pieces.get(); }
  // A piece became complete: the scheduler drops it from its wanted list and tells the peers.
  virtual void OnPieceCompleted(int32_t) {}
  // Drops pieces the task no longer wants from the wanted list.
  virtual void PruneWanted() {}

  void RefreshReports(bool force) override;
  std::span<const uint8_t> PieceBitmap() override;
  int PieceCount() override;
  void RequestStop();

  std::unique_ptr<TPieces> pieces;
  std::unique_ptr<TTorrent> torrent;
  bool metadataLoaded = false;
  bool diskFull = false;
  bool bitmapChanged = false;
  bool reloadMetadata = false;  // a torrent file has arrived from a source

 private:
  void RefreshCounters();

  bool swarmReady_ = false;
  uint8_t handshake_[kHandshakeSize] = {};
  std::string bitmap_;
  int32_t bitmapPieces_ = 0;
};

}  // namespace bw
