#include "engine/task/TPieceScheduler.h"

#include <algorithm>

#include "engine/sources/TPeerId.h"
#include "engine/sources/TPeerObject.h"
#include "engine/sources/TPieceRange.h"
#include "engine/storage/TPieces.h"
#include "platform/Clock.h"

namespace bw {

namespace {

bool BitSet(std::span<const uint8_t> bits, int64_t index) {
  if (index < 0 || static_cast<uint64_t>(index) / 8 >= bits.size()) return false;
  return (bits[static_cast<size_t>(index / 8)] & (0x80 >> (index % 8))) != 0;
}

bool Free(const TPieceRange& r) { return !r.exhausted && !r.abandoned && !r.worker && !r.rescan; }

int64_t Left(const TPieceRange& r) { return static_cast<int64_t>(r.last) - r.next + 1; }

// Whether a worker's rest of `bytes` at `rw` is shared with a peer asking for work (of rate `rp`,
// 0 when unknown). A long rest is shared with any; a shorter one that still outlasts
// kSplitSeconds is shared with a peer not known to be much slower, whose share then comes in
// while the worker fetches its own, for the cost of one request. At half the worker's rate
// the peer would need as long for its half as the worker for the whole.
bool WorthSplitting(int64_t bytes, int64_t rw, int64_t rp) {
  if (bytes > static_cast<int64_t>(TPieceScheduler::kStaleSeconds) * rw) return true;
  return bytes > TPieceScheduler::kSplitSeconds * rw && (rp == 0 || 2 * rp >= rw);
}

}  // namespace

TPieceScheduler::TPieceScheduler() = default;

TPieceScheduler::~TPieceScheduler() = default;

uint32_t TPieceScheduler::Ticks() { return platform::TickCountMs(); }

void TPieceScheduler::Clear() {
  for (const auto& r : ranges_) {
    if (r->worker && r->worker->Range() == r.get()) r->worker->SetRange(nullptr);
  }
  ranges_.clear();
  ClearWanted();
  endGame_.clear();
  inEndGame_ = false;
}

bool TPieceScheduler::Resplit() {
  std::vector<TPeerObject*> workers;
  for (const auto& r : ranges_) {
    if (r->worker) workers.push_back(r->worker);
  }
  for (TPeerObject* worker : workers) worker->ReleaseRange();
  ranges_.clear();
  ClearWanted();  // its indices name pieces of the former length
  endGame_.clear();
  inEndGame_ = false;
  return CreateInitialRanges();
}

int32_t TPieceScheduler::UnverifiedPieces() {
  const TPieces* pieces = Pieces();
  return pieces ? static_cast<int32_t>(pieces->PieceCount() - pieces->DonePieces()) : 0;
}

bool TPieceScheduler::CreateInitialRanges() {
  const TPieces* pieces = Pieces();
  const int64_t count = pieces ? pieces->PieceCount() : 0;
  const std::vector<TPeerId*> sources = UrlSources();
  const int64_t usable = static_cast<int64_t>(sources.size());
  if (count <= 0 || usable <= 0) return false;
  // A mirror that limits each connection is only filled by several, so every source may open its
  // share of the task's URL connections, not just the one it was created with.
  const int64_t share = std::clamp<int64_t>(MaxUrlConnections() / usable, 1, kMaxConnectionsPerSource);
  bool added = false;
  for (int64_t k = 0; k < usable; ++k) {
    TPeerId* source = sources[static_cast<size_t>(k)];
    int64_t first = k;
    int64_t last = k;
    if (usable < count) {
      const int64_t slice = count / usable;
      first = slice * k;
      last = k + 1 == usable ? count - 1 : slice * (k + 1) - 1;
    }
    int64_t n = std::min<int64_t>((last - first + 5) / 5, std::max<int64_t>(source->allowance, share));
    n = std::min(last - first + 1, n);
    source->allowance = static_cast<int32_t>(n);
    const int64_t size = (last - first + 1) / n;
    for (int64_t j = 0; j < n; ++j) {
      const int64_t end = j + 1 == n ? last : first + size * (j + 1) - 1;
      auto range = std::make_unique<TPieceRange>(source, static_cast<int32_t>(first + size * j),
                                                 static_cast<int32_t>(end));
      ranges_.push_back(std::move(range));
      added = true;
    }
    if (usable >= count && k + 1 >= count) break;
  }
  return added;
}

bool TPieceScheduler::AssignRange(TPeerObject& peer) {
  if (ranges_.empty()) return false;
  const int32_t current = peer.stats.currentPiece;
  if (current >= 0) {
    for (const auto& r : ranges_) {
      if (!r->exhausted && !r->abandoned && !r->worker && r->next == current + 1) {
        peer.SetRange(r.get());
        return true;
      }
    }
  }
  const size_t size = ranges_.size();
  const size_t start = Ticks() % size;
  for (size_t i = 0; i < size; ++i) {
    TPieceRange& r = *ranges_[(start + i) % size];
    if (Free(r)) {
      peer.SetRange(&r);
      return true;
    }
  }
  const uint64_t now = Clock();
  for (const auto& r : ranges_) {
    if (r->worker && r->worker != &peer && !r->abandoned && r->next == r->first && !r->rescan &&
        r->blockCounter == 0 && now > r->assignedAt + kStaleSeconds) {
      r->worker->ReleaseRange();
      peer.SetRange(r.get());
      return true;
    }
  }
  for (const auto& r : ranges_) {
    if (r->rescan && !r->worker) {
      peer.SetRange(r.get());
      return true;
    }
  }
  return StealRange(peer);
}

bool TPieceScheduler::StealRange(TPeerObject& peer) {
  const int64_t rp = peer.counters.downloadRate;
  const bool holds = peer.Range() != nullptr;
  if (rp == 0 && holds) return false;
  TPieceRange* r = FindRangeToSplit(peer);
  if (!r) return false;
  const TPieces* pieces = Pieces();
  while (r->last > r->next && !pieces->IsPieceWanted(r->last)) --r->last;
  const int64_t c = Left(*r);
  if (c <= 0) return false;
  TPeerObject* worker = r->worker;
  const int64_t rw = worker->counters.downloadRate;
  const bool faster = 2 * rw < rp;
  int64_t m = holds && rw + rp > 0 ? rp * 100 / (rw + rp) : 50;
  if (m < 100 && faster) ++m;
  int64_t e = c > 1 ? c * m / 100 : 1;
  if (e < c && faster) ++e;
  if (e <= 0) return false;
  const int32_t first = static_cast<int32_t>(r->last - e + 1);
  auto split = std::make_unique<TPieceRange>(peer.PeerId(), first, r->last);
  TPieceRange* taken = split.get();
  r->last = std::max(first - 1, r->next);
  r->assignedAt = Clock();
  ranges_.push_back(std::move(split));
  peer.SetRange(taken);
  // A plain source left with only the piece just handed on gives way to the much faster peer.
  if (!worker->IsBitTorrent() && r->next == first && r->last == first && rp >= 3 * rw) {
    r->abandoned = true;
    worker->ReleaseRange();  // removes r
  }
  return true;
}

int32_t TPieceScheduler::WorkingPiece(const TPieceRange& r) {
  const TPieces* pieces = Pieces();
  const int32_t current = r.worker ? r.worker->stats.currentPiece : -1;
  const int32_t from = r.Contains(current) ? current : std::max(r.next, r.first);
  for (int32_t piece = from; piece <= r.last; ++piece) {
    if (pieces->IsPieceWanted(piece)) return piece;
  }
  return -1;
}

int32_t TPieceScheduler::StalledPieceOfRun(const TPieceRange& run) {
  const TPieces* pieces = Pieces();
  int32_t highest = -1;
  // The run is walked downwards: the highest piece still asked for is the one held longest.
  for (int32_t piece = run.last; piece >= run.first; --piece) {
    if (!pieces->IsPieceWanted(piece)) continue;
    if (run.worker->HasRequestInPiece(piece)) return piece;
    if (highest < 0) highest = piece;
  }
  return highest;
}

bool TPieceScheduler::Stalled(const TPeerObject& worker, uint64_t now) {
  return now >= std::max(worker.stats.lastDataTime, worker.stats.startTime) + kStallSeconds;
}

bool TPieceScheduler::SharedAlready(int32_t piece, uint64_t now) const {
  int32_t workers = 0;
  bool live = false;
  for (const auto& r : ranges_) {
    if (!r->worker || !r->Contains(piece)) continue;
    ++workers;
    live = live || !Stalled(*r->worker, now);
  }
  return workers > 1 && live;
}

bool TPieceScheduler::TakeOverSlowWork(TPeerObject& peer) {
  const TPieces* pieces = Pieces();
  if (!pieces || pieces->PieceLength() <= 0) return false;
  inEndGame_ = true;
  const uint64_t now = Clock();
  const TPeerId* id = peer.PeerId();
  const int64_t rp = std::max(peer.RecentRate(), id ? id->lastRate : 0);
  TPieceRange* slowest = nullptr;
  int32_t slowestFrom = -1;
  int64_t slowestTime = -1;
  for (const auto& r : ranges_) {
    const TPeerObject* worker = r->worker;
    if (!worker || worker == &peer) continue;
    // A BitTorrent peer's claimed run: only the piece it is stuck on is shared.
    const bool run = r->abandoned;
    if (run && !worker->IsBitTorrent()) continue;
    const int32_t from = run ? StalledPieceOfRun(*r) : WorkingPiece(*r);
    // A piece two workers already fetch is not given to a third, unless all of them stalled.
    if (from < 0 || SharedAlready(from, now)) continue;
    if (peer.IsBitTorrent() && !BitSet(peer.RemoteHave(), from)) continue;
    const int64_t rw = worker->RecentRate();
    const bool stalled = Stalled(*worker, now);
    int64_t time = INT64_MAX;
    if (!stalled) {
      const int64_t rest = (run ? 1 : r->last - from + 1) * pieces->PieceLength() - pieces->PieceBytesInMemory(from);
      if (rw > 0) time = rest / rw;
      // A BitTorrent peer that has shown no rate yet races a URL source that needs long for its rest:
      // otherwise it never gets the work to show one.
      const bool raceSlowSource = rp <= 0 && rw > 0 && peer.IsBitTorrent() && worker->IsUrlSource() &&
                                  time > static_cast<int64_t>(kStaleSeconds);
      // A worker that has shown no rate yet gives way to a peer that has; otherwise only a peer
      // at least twice as fast gains enough to fetch the same bytes again.
      if (!raceSlowSource && (rp <= 0 || (rw > 0 && rp < 2 * rw))) continue;
    }
    if (time > slowestTime) {
      slowest = r.get();
      slowestFrom = from;
      slowestTime = time;
    }
  }
  if (!slowest) return false;
  // Both fetch the piece the worker is on; the rest of a URL source's range is the peer's alone.
  const int32_t last = slowest->abandoned ? slowestFrom : slowest->last;
  auto taken = std::make_unique<TPieceRange>(peer.PeerId(), slowestFrom, last);
  if (!slowest->abandoned) slowest->last = slowestFrom;
  TPieceRange* added = taken.get();
  ranges_.push_back(std::move(taken));
  peer.SetRange(added);
  return true;
}

void TPieceScheduler::PieceVerified(int64_t piece, TPeerObject& by) {
  for (const TRef<TPeerObject>& peer : ActivePeers()) {
    if (peer && peer.get() != &by) peer->CancelPiece(piece);
  }
}

TPieceRange* TPieceScheduler::FindRangeToSplit(TPeerObject& peer) {
  const TPieces* pieces = Pieces();
  if (!pieces) return nullptr;
  const int64_t rp = peer.counters.downloadRate;
  const int64_t pieceLength = pieces->PieceLength();
  const bool fewLeft = UnverifiedPieces() < 4;
  const uint64_t now = Clock();
  const auto pick = [&](bool firstPass) -> TPieceRange* {
    TPieceRange* best = nullptr;
    int64_t bestTime = -1;
    for (const auto& r : ranges_) {
      if (!r->worker || r->worker == &peer || r->abandoned) continue;
      const int64_t left = Left(*r);
      if (left <= 0) continue;
      const int64_t rw = r->worker->counters.downloadRate;
      if (firstPass) {
        if (now <= r->assignedAt + kStaleSeconds && rw == 0) continue;
        if (left == 1 && rw != 0 && rp < 2 * rw) continue;
      } else if (now <= r->assignedAt + 3 && left <= 1) {
        continue;
      }
      if (rw == 0) return r.get();
      const int64_t t = left * pieceLength / rw;
      if (!fewLeft && !WorthSplitting(left * pieceLength, rw, rp)) continue;
      if (t > bestTime) {
        bestTime = t;
        best = r.get();
      }
    }
    return best;
  };
  TPieceRange* found = pick(true);
  if (!found && !peer.Range()) found = pick(false);
  return found;
}

void TPieceScheduler::AddWanted(int32_t piece, const TPeerObject* by) {
  wanted_.push_back({piece, by});
  ++wantedCount_[piece];
}

template <class Which>
void TPieceScheduler::DropWanted(Which which) {
  std::erase_if(wanted_, [&](const TWantedPiece& w) {
    if (!which(w)) return false;
    if (--wantedCount_[w.piece] <= 0) wantedCount_.erase(w.piece);
    return true;
  });
}

int64_t TPieceScheduler::Occurrences(int32_t piece) const {
  const auto found = wantedCount_.find(piece);
  return found == wantedCount_.end() ? 0 : found->second;
}

void TPieceScheduler::ClearWanted() {
  wanted_.clear();
  wantedCount_.clear();
}

bool TPieceScheduler::WantPiece(int32_t index, bool add, bool remove, const TPeerObject* by) {
  const int64_t occurs = Occurrences(index);
  if (add) {
    const TPieces* pieces = Pieces();
    const int64_t verified = pieces ? pieces->DonePieces() : 0;
    const int64_t count = pieces ? pieces->PieceCount() : 0;
    const int64_t c = std::max<int64_t>(static_cast<int64_t>(ActivePeers().size()) / 3, 64);
    const int64_t d = std::max<int64_t>(c + verified - count, 1);
    if (occurs > d) return false;
    AddWanted(index, by);
    return true;
  }
  if (!remove) return occurs > 0;
  DropWanted([index](const TWantedPiece& w) { return w.piece == index; });
  return occurs > 0;
}

bool TPieceScheduler::WantPiece(int32_t piece, const TPeerObject& by) {
  const auto same = [&](const TWantedPiece& w) { return w.piece == piece && w.by == &by; };
  const bool entered = Occurrences(piece) > 0 && std::any_of(wanted_.begin(), wanted_.end(), same);
  return entered || WantPiece(piece, true, false, &by);
}

bool TPieceScheduler::Begun(int32_t piece) {
  const TPieces* pieces = Pieces();
  return pieces && pieces->IsPieceWanted(piece) &&
         (pieces->PieceBytesInMemory(piece) > 0 || pieces->Piece(piece).HashedPrefix > 0);
}

void TPieceScheduler::ReleaseWanted(const TPeerObject& by) {
  std::vector<int32_t> left;
  DropWanted([&](const TWantedPiece& w) {
    if (w.by != &by) return false;
    left.push_back(w.piece);
    return true;
  });
  for (int32_t piece : left) {
    if (Begun(piece) && Occurrences(piece) == 0) AddWanted(piece, nullptr);
  }
}

void TPieceScheduler::PruneWanted() {
  const TPieces* pieces = Pieces();
  if (!pieces) return;
  DropWanted([pieces](const TWantedPiece& w) { return !pieces->IsPieceWanted(w.piece); });
}

void TPieceScheduler::OnPieceCompleted(int32_t piece) {
  WantPiece(piece, false, true);
  const TPieces* pieces = Pieces();
  const int64_t pieceLength = pieces ? pieces->PieceLength() : 0;
  if (pieceLength <= 0) return;
  std::erase_if(endGame_, [&](const TBlockRequest& r) {
    return r.block * kBlockSize / pieceLength == piece;
  });
}

void TPieceScheduler::OnPieceWantedAgain(int32_t piece) {
  // Whoever worked on it is done with it.
  WantPiece(piece, false, true);
  AddWanted(piece, nullptr);
  // A range whose walk has passed the piece comes back to it only at its end, which a stalled
  // worker does not reach.
  const bool inRange = std::any_of(ranges_.begin(), ranges_.end(), [piece](const std::unique_ptr<TPieceRange>& r) {
    return !r->abandoned && r->Contains(piece) && (r->rescan || piece >= r->next);
  });
  // Without an owner: whichever URL source still serves takes it.
  if (!inRange && !UrlSources().empty()) ranges_.push_back(std::make_unique<TPieceRange>(nullptr, piece, piece));
  for (const TRef<TPeerObject>& peer : ActivePeers()) {
    if (peer) peer->PieceWantedAgain(piece);
  }
}

bool TPieceScheduler::TakeEndGameBlocks(std::span<const uint8_t> peerHas, std::span<const uint8_t> exclude,
                                        int32_t max, std::vector<TBlockRequest>& out) {
  const TPieces* pieces = Pieces();
  const int64_t pieceLength = pieces ? pieces->PieceLength() : 0;
  if (pieceLength <= 0) return false;
  const auto pieceOf = [pieceLength](const TBlockRequest& r) { return r.block * kBlockSize / pieceLength; };
  const auto chosen = std::find_if(endGame_.begin(), endGame_.end(), [&](const TBlockRequest& r) {
    const int64_t piece = pieceOf(r);
    return BitSet(peerHas, piece) && !BitSet(exclude, piece) && pieces->IsPieceWanted(piece);
  });
  if (chosen == endGame_.end()) return false;
  const int64_t piece = pieceOf(*chosen);
  const size_t limit = static_cast<size_t>(max <= 0 ? kDefaultEndGameTake : max);
  const auto requested = [&out](const TBlockRequest& r) {
    return std::any_of(out.begin(), out.end(), [&r](const TBlockRequest& o) { return o.block == r.block; });
  };
  bool moved = false;
  for (auto it = endGame_.begin(); it != endGame_.end() && out.size() < limit;) {
    if (pieceOf(*it) == piece && !requested(*it)) {
      out.push_back({it->block, it->length, 0, false});
      it = endGame_.erase(it);
      moved = true;
    } else {
      ++it;
    }
  }
  return moved;
}

bool TPieceScheduler::TakeEndGameBlocks(TPeerObject& peer, std::vector<TBlockRequest>& requests) {
  return TakeEndGameBlocks(peer.RemoteHave(), peer.ExcludedPieces(), 0, requests);
}

void TPieceScheduler::ReturnRequests(const std::vector<TBlockRequest>& requests) {
  for (const TBlockRequest& r : requests) {
    const bool listed = std::any_of(endGame_.begin(), endGame_.end(),
                                    [&r](const TBlockRequest& e) { return e.block == r.block; });
    if (!listed) endGame_.push_back({r.block, r.length, 0, false});
  }
}

int32_t TPieceScheduler::RandomStartPiece() {
  const TPieces* pieces = Pieces();
  const int64_t count = pieces ? pieces->PieceCount() : 0;
  if (!RandomStartEnabled() || count <= 0) return -1;
  const int64_t verified = pieces->DonePieces();
  const int64_t a = verified * (FastStart() ? 20 : 10) + 6;
  const int64_t b = static_cast<int64_t>(Ticks()) % a % count;
  // Skipping past the verified pieces must still land inside the content.
  return static_cast<int32_t>(verified > 1 ? (b + verified) % count : b);
}

}  // namespace bw
