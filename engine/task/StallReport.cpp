#include "engine/task/StallReport.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "engine/sources/TBTPeer.h"
#include "engine/sources/TPeerId.h"
#include "engine/sources/TPeerObject.h"
#include "engine/sources/TPieceRange.h"
#include "engine/storage/TPieces.h"
#include "engine/task/TPieceScheduler.h"

namespace bw {
namespace {

// Each list stops here: the line has to fit the log's line size.
constexpr size_t kListed = 24;

void Add(std::string& text, const char* format, ...) __attribute__((format(printf, 2, 3)));

void Add(std::string& text, const char* format, ...) {
  char part[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(part, sizeof part, format, args);
  va_end(args);
  text += part;
}

bool Missing(const TPieces& pieces, int64_t index) {
  return pieces.IsPieceValid(index) && !pieces.Piece(index).Skip && !pieces.IsPieceComplete(index);
}

std::string PeerName(const std::vector<TRef<TPeerObject>>& peers, const TPeerObject* peer) {
  if (!peer) return "free";
  const auto at = std::find_if(peers.begin(), peers.end(), [peer](const TRef<TPeerObject>& p) { return p.get() == peer; });
  if (at == peers.end()) return "gone";
  std::string name;
  Add(name, "#%td", at - peers.begin());
  return name;
}

void DescribePieces(std::string& text, const TPieces& pieces) {
  size_t listed = 0;
  for (int64_t index = 0; index < pieces.PieceCount(); ++index) {
    if (!Missing(pieces, index)) continue;
    if (++listed > kListed) {
      text += " ...";
      break;
    }
    const TPiece& piece = pieces.Piece(index);
    Add(text, " %" PRId64 "%s%s%s(%d+%d)", index, piece.Hashing ? "h" : "", piece.Verified ? "v" : "",
        piece.Writing ? "w" : "", piece.HashedPrefix, pieces.PieceBytesInMemory(index));
  }
}

void DescribeRanges(std::string& text, const TPieces& pieces, TPieceScheduler& scheduler,
                    const std::vector<TRef<TPeerObject>>& peers, uint64_t now) {
  size_t listed = 0;
  for (const auto& r : scheduler.Ranges()) {
    bool holdsMissing = false;
    for (int64_t piece = std::max(r->first, 0); piece <= r->last && !holdsMissing; ++piece) {
      holdsMissing = Missing(pieces, piece);
    }
    if (!holdsMissing) continue;
    if (++listed > kListed) {
      text += " ...";
      break;
    }
    const TPeerId* owner = r->Owner();
    Add(text, " [%d-%d next %d %s owner %s age %" PRIu64 "%s%s%s]", r->first, r->last, r->next,
        PeerName(peers, r->worker).c_str(), owner ? owner->addressText.c_str() : "none",
        now > r->assignedAt ? now - r->assignedAt : 0, r->exhausted ? " exhausted" : "", r->rescan ? " rescan" : "",
        r->abandoned ? " abandoned" : "");
  }
}

// Needed pieces that no range contains: only a source's own search for work finds them.
void DescribeUnclaimed(std::string& text, const TPieces& pieces, TPieceScheduler& scheduler) {
  const auto claimed = [&scheduler](int64_t piece) {
    return std::any_of(scheduler.Ranges().begin(), scheduler.Ranges().end(),
                       [piece](const std::unique_ptr<TPieceRange>& r) { return r->Contains(piece); });
  };
  size_t listed = 0;
  for (int64_t first = 0; first < pieces.PieceCount(); ++first) {
    if (!pieces.IsPieceWanted(first) || claimed(first)) continue;
    int64_t last = first;
    while (last + 1 < pieces.PieceCount() && pieces.IsPieceWanted(last + 1) && !claimed(last + 1)) ++last;
    if (++listed > kListed) {
      text += " ...";
      break;
    }
    Add(text, " %" PRId64 "-%" PRId64, first, last);
    first = last;
  }
}

void DescribeSources(std::string& text, const std::vector<TRef<TPeerId>>& sources) {
  size_t listed = 0;
  int32_t peers = 0;
  for (const TRef<TPeerId>& id : sources) {
    if (id->kind != SOURCE_HTTP && id->kind != SOURCE_FTP) {
      peers += id->kind == SOURCE_BTNODE;
      continue;
    }
    if (++listed > kListed) {
      text += " ...";
      break;
    }
    Add(text, " [%s conns %d/%d wait %d floor %d fail %d retired %" PRIu64 "]", id->addressText.c_str(),
        id->activeConnections, id->allowance, id->waitTicks, id->backOffFloor, id->failures, id->retiredUntil);
  }
  Add(text, " +%d peers", peers);
}

void DescribePeers(std::string& text, const std::vector<TRef<TPeerObject>>& peers, uint64_t now) {
  for (size_t i = 0; i < peers.size() && i < kListed; ++i) {
    const TPeerObject& peer = *peers[i];
    const TPieceRange* range = peer.Range();
    const uint64_t since = std::max(peer.stats.lastDataTime, peer.stats.startTime);
    Add(text, " [#%zu kind %u link %d state %u piece %d requests %zu silent %" PRIu64, i, peer.peerType, peer.linkState,
        peer.workState, peer.stats.currentPiece, peer.Requests().size(), now > since ? now - since : 0);
    if (range) Add(text, " range %d-%d", range->first, range->last);
    if (const auto* bt = dynamic_cast<const TBTPeer*>(&peer)) {
      Add(text, " choked %d offers %d", bt->peerChoking ? 1 : 0, bt->nothingToOffer ? 0 : 1);
    }
    text += "]";
  }
  if (peers.size() > kListed) text += " ...";
}

}  // namespace

bool StallWatch::Due(uint64_t now, uint64_t received, bool stuck) {
  if (!watching_ || received != lastReceived_ || !stuck) {
    watching_ = true;
    lastReceived_ = received;
    quietSince_ = now;
    reported_ = false;
    return false;
  }
  if (reported_ || now < quietSince_ + kQuietSeconds) return false;
  reported_ = true;
  return true;
}

std::string DescribeStall(const TPieces& pieces, TPieceScheduler& scheduler, const std::vector<TRef<TPeerId>>& sources,
                          const std::vector<TRef<TPeerObject>>& peers, uint64_t now) {
  std::string text;
  Add(text, "Stall: %" PRId64 " of %" PRId64 " pieces missing:", pieces.PieceCount() - pieces.DonePieces(),
      pieces.PieceCount());
  DescribePieces(text, pieces);
  text += " | ranges:";
  DescribeRanges(text, pieces, scheduler, peers, now);
  text += " | unclaimed:";
  DescribeUnclaimed(text, pieces, scheduler);
  Add(text, " | wanted %zu, end game %d with %zu blocks | sources:", scheduler.WantedList().size(),
      scheduler.InEndGame() ? 1 : 0, scheduler.EndGameList().size());
  DescribeSources(text, sources);
  text += " | peers:";
  DescribePeers(text, peers, now);
  return text;
}

}  // namespace bw
