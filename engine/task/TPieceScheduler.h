#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "engine/sources/IPeerTask.h"

namespace bw {

class TPeerId;

// The task side of the work split: the piece runs of the URL sources, the wanted-piece list and
// the end-game list shared by the BitTorrent peers. Everything runs on the task thread.
class TPieceScheduler : public IPeerTask {
 public:
  // A range assigned longer ago than this without progress may be taken from its worker.
  static constexpr uint64_t kStaleSeconds = 10;
  // An idle URL connection takes over part of a range whose worker needs longer than this.
  static constexpr int64_t kSplitSeconds = 1;
  static constexpr int32_t kDefaultEndGameTake = 16;
  // In the end game a worker that has received nothing for this long counts as stalled.
  static constexpr uint64_t kStallSeconds = 3;
  // The most connections the split lets one URL source open, the ceiling a user may also ask for.
  static constexpr int32_t kMaxConnectionsPerSource = 20;

  TPieceScheduler();
  ~TPieceScheduler() override;
  TPieceScheduler(const TPieceScheduler&) = delete;
  TPieceScheduler& operator=(const TPieceScheduler&) = delete;

  std::vector<std::unique_ptr<TPieceRange>>& Ranges() override { return ranges_; }
  bool CreateInitialRanges() override;
  bool AssignRange(TPeerObject& peer) override;
  std::vector<TBlockRequest>& EndGameList() override { return endGame_; }
  void ReturnRequests(const std::vector<TBlockRequest>& requests) override;
  // Starts the end game: from the first time a peer asks for work while every missing piece has
  // a worker, until the ranges are made anew.
  bool TakeOverSlowWork(TPeerObject& peer) override;
  bool TakeEndGameBlocks(TPeerObject& peer, std::vector<TBlockRequest>& requests) override;
  void PieceVerified(int64_t piece, TPeerObject& by) override;
  bool InEndGame() override { return inEndGame_; }

  TPieceRange* FindRangeToSplit(TPeerObject& peer);
  // No data for kStallSeconds since the last or the connect.
  static bool Stalled(const TPeerObject& worker, uint64_t now);
  // add: enters the piece for `by` (none: the task itself) unless enough want it already;
  // remove: drops every entry of it; neither: whether it is listed.
  bool WantPiece(int32_t index, bool add, bool remove, const TPeerObject* by = nullptr);
  const std::vector<TWantedPiece>& WantedList() override { return wanted_; }
  bool WantPiece(int32_t piece, const TPeerObject& by) override;
  void ReleaseWanted(const TPeerObject& by) override;
  // Moves end-game entries of one piece the peer has (and the exclusion set does not name) to
  // the peer's list. Bitmaps hold the most significant bit first.
  bool TakeEndGameBlocks(std::span<const uint8_t> peerHas, std::span<const uint8_t> exclude, int32_t max,
                         std::vector<TBlockRequest>& out);
  // The piece a BitTorrent peer starts with; -1 when the task starts in order.
  int32_t RandomStartPiece() override;

  // A verified piece is neither wanted nor worth a duplicate request any more.
  void OnPieceCompleted(int32_t piece);
  // A piece failed its check (or its write was lost): the task wants it first, a URL source
  // finds it in a range even when the range it lay in is gone or its walk has passed it, and
  // peers whose remote side has it have something to offer again.
  void OnPieceWantedAgain(int32_t piece);
  // Drops pieces the piece map no longer needs from the wanted list.
  void PruneWanted();
  // The task stops: nobody wants anything.
  void ClearWanted();
  // Workers let their ranges go and all lists are emptied.
  void Clear();
  // After the piece length changed: the workers let go and the split starts over.
  bool Resplit();

 protected:
  // The usable URL sources of the candidate list, in list order.
  virtual std::vector<TPeerId*> UrlSources() = 0;
  // The task's limit of connections to URL sources, shared among them by the split.
  virtual int32_t MaxUrlConnections() = 0;
  virtual bool StopRequested() = 0;
  // The task's first option byte: BitTorrent peers start at a random piece.
  virtual bool RandomStartEnabled() = 0;
  virtual bool FastStart() = 0;
  // Milliseconds, only used to spread choices.
  virtual uint32_t Ticks();

 private:
  bool StealRange(TPeerObject& peer);
  int32_t UnverifiedPieces();
  // The piece of r its worker is on, or the first wanted one after it; -1 when none is left.
  int32_t WorkingPiece(const TPieceRange& r);
  // Two workers or more fetch the piece and one of them still receives.
  bool SharedAlready(int32_t piece, uint64_t now) const;
  // The piece of a BitTorrent peer's claimed run that it is stuck on; -1 when none is left.
  int32_t StalledPieceOfRun(const TPieceRange& run);
  // Some of its data is here, so the next peer that can should finish it.
  bool Begun(int32_t piece);
  void AddWanted(int32_t piece, const TPeerObject* by);
  template <class Which>
  void DropWanted(Which which);
  int64_t Occurrences(int32_t piece) const;

  std::vector<std::unique_ptr<TPieceRange>> ranges_;
  std::vector<TWantedPiece> wanted_;
  // Entries of each listed piece: a choice asks for them piece after piece.
  std::unordered_map<int32_t, int64_t> wantedCount_;
  std::vector<TBlockRequest> endGame_;
  bool inEndGame_ = false;
};

}  // namespace bw
