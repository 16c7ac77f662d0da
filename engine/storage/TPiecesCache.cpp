// The piece map's memory cache: when verified pieces are written, when a long idle piece (or any
// arriving one while arriving pieces hold too much) has its start written early, and which written
// pieces stay as read cache.
#include <algorithm>

#include "engine/storage/TPieces.h"

namespace bw {

namespace {

constexpr int64_t kPrefixMinimum = 128 * 1024;
constexpr int64_t kIdleAge = std::max<int64_t>(TPieces::kHour / 6, 15);

}  // namespace

void TPieces::SetCacheUnits(int32_t units) { cacheUnits_ = std::min(8000, std::max(units, 4)); }

int64_t TPieces::CacheLimit() const {
  int64_t limit = int64_t{cacheUnits_} * kCacheUnit;
  return limit > 0 ? limit : kCacheUnit;
}

void TPieces::MaintainCache() {
  const int64_t now = Now();
  const int64_t limit = CacheLimit();
  int64_t counted = 0;
  partialBytes_ = 0;
  for (TPiece& piece : pieces_) {
    if (piece.Blocks.Empty()) {
      partialBytes_ += piece.HashedPrefix;
      continue;
    }
    const bool complete = IsPieceComplete(piece.Index);
    if (!piece.Dirty) {
      if (piece.Verified || piece.Skip || complete) {
        if (piece.Skip && !complete) DropMemory(piece);
      } else if (piece.Blocks.BytesHeld() >= kPrefixMinimum &&
                 (now - piece.LastActivity > kIdleAge || cacheBytes_ > limit + kArrivingMemory)) {
        WritePrefix(piece, kPrefixMinimum);
      }
      continue;
    }
    if (!piece.Verified) continue;
    const int64_t threshold = cacheBytes_ < limit / 2 ? limit / 2 : limit / 5;
    if (counted >= threshold) WriteRest(piece);
    if (piece.Dirty) counted += piece.Blocks.BytesHeld();
  }
  dirtyBytes_ = CountDirty();
  pendingBytes_ = partialBytes_ + cacheBytes_;
  CheckCache();
  CheckCounters();
}

int32_t TPieces::CheckCache() {
  if (cacheBytes_ >= CacheLimit() || Now() - lastTrim_ > 6 * kHour) TrimCache();
  return static_cast<int32_t>(cacheBytes_ / kCacheUnit);
}

void TPieces::TrimCache() {
  if (cacheBytes_ <= kCacheUnit) return;
  const int64_t now = Now();
  const int64_t limit = CacheLimit();
  std::vector<TPiece*> candidates;
  int64_t candidateBytes = 0;
  for (TPiece& piece : pieces_) {
    if (piece.Blocks.Empty()) continue;
    const bool complete = IsPieceComplete(piece.Index);
    if (complete && !piece.Dirty) {
      if (now - piece.LastActivity > kHour) {
        DropMemory(piece);
      } else {
        candidates.push_back(&piece);
        candidateBytes += piece.Blocks.BytesHeld();
      }
    } else if (!complete && piece.Skip) {
      DropMemory(piece);
      DropPartialState(piece);
    }
  }
  if (candidateBytes + dirtyBytes_ >= limit) {
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const TPiece* a, const TPiece* b) { return a->LastActivity < b->LastActivity; });
    const int64_t target = limit - std::max<int64_t>(limit / 10, kCacheUnit);
    for (TPiece* piece : candidates) {
      if (candidateBytes + dirtyBytes_ <= target) break;
      candidateBytes -= piece->Blocks.BytesHeld();
      DropMemory(*piece);
    }
  }
  lastTrim_ = now;
  CheckCounters();
}

int64_t TPieces::CountDirty() const {
  int64_t dirty = 0;
  for (const TPiece& piece : pieces_) dirty += piece.Dirty ? piece.Blocks.BytesHeld() : 0;
  return dirty;
}

void TPieces::FlushPieces() {
  if (!IsReady()) return;
  SettleVerdicts();
  WriteVerified();
  TakeWritten(true);
}

void TPieces::WriteVerified() {
  if (!IsReady()) return;
  TakeVerdicts();
  TakeWritten(false);
  // Pieces being written stay dirty meanwhile: they are not looked for again and again.
  if (!writeDue_) return;
  writeDue_ = false;
  for (TPiece& piece : pieces_) {
    if (piece.Dirty && piece.Verified && !WriteRest(piece)) writeDue_ = true;
  }
  dirtyBytes_ = CountDirty();
  CheckCounters();
}

}  // namespace bw
