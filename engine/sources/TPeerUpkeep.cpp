#include "engine/sources/TPeerUpkeep.h"

#include <algorithm>
#include <vector>

#include "engine/net/QSocket.h"
#include "engine/sources/IPeerTask.h"
#include "engine/sources/TBTPeer.h"
#include "engine/sources/TPeerId.h"
#include "engine/sources/TPeerObject.h"
#include "engine/storage/TPieces.h"

namespace bw {

namespace {

// The greater value first: negative when a ranks before b.
int Larger(int64_t a, int64_t b) {
  a /= TPeerObject::kRankUnit;
  b /= TPeerObject::kRankUnit;
  return a > b ? -1 : a < b ? 1 : 0;
}

int ClearFirst(bool a, bool b) { return a == b ? 0 : a ? 1 : -1; }

// Pruning keeps a few connection slots free for sources that are still dialling.
constexpr int32_t kSpareConnections = 6;
constexpr int32_t kIdleMargin = 12;
constexpr int64_t kFewUnverified = 6;

}  // namespace

int TPeerUpkeep::ComparePeers(IPeerTask& task, TPeerObject* a, TPeerObject* b) {
  if (!a || !b) return a == b ? 0 : a ? -1 : 1;
  const bool greetedA = a->GreetingComplete();
  const bool greetedB = b->GreetingComplete();
  if (greetedA != greetedB) return greetedA ? -1 : 1;
  if (!greetedA) return 0;
  const uint64_t now = task.Clock();
  int c;
  if (task.IsComplete()) {
    if ((c = ClearFirst(a->stats.settled, b->stats.settled))) return c;
    if ((c = ClearFirst(a->stats.hasData, b->stats.hasData))) return c;
    if (a->IsBitTorrent() && b->IsBitTorrent() &&
        a->stats.remotePieces != b->stats.remotePieces) {
      return a->stats.remotePieces > b->stats.remotePieces ? -1 : 1;
    }
    if ((c = Larger(a->counters.windowSent, b->counters.windowSent))) return c;
    return Larger(a->AverageSendRate(now), b->AverageSendRate(now));
  }
  if ((c = Larger(a->counters.windowDelivered, b->counters.windowDelivered))) return c;
  if ((c = Larger(a->AverageReceiveRate(now), b->AverageReceiveRate(now)))) return c;
  if ((c = ClearFirst(a->stats.settled, b->stats.settled))) return c;
  if ((c = -Larger(a->counters.windowSent, b->counters.windowSent))) return c;
  if ((c = -Larger(static_cast<int64_t>(a->Socket()->BytesSent()),
                   static_cast<int64_t>(b->Socket()->BytesSent())))) {
    return c;
  }
  const uint64_t atA = a->Socket()->ConnectedAt();
  const uint64_t atB = b->Socket()->ConnectedAt();
  return atA > atB ? -1 : atA < atB ? 1 : 0;
}

bool TPeerUpkeep::Tick(IPeerTask& task) {
  const uint64_t now = task.Clock();
  if (ran_ && now < lastRun_ + kPeriod) return false;
  ran_ = true;
  lastRun_ = now;
  CloseWindow(task);
  Prune(task);
  SwarmUpkeep(task);
  for (const TRef<TPeerObject>& peer : task.ActivePeers()) {
    if (peer) peer->Maintain();
  }
  return true;
}

void TPeerUpkeep::CloseWindow(IPeerTask& task) {
  std::vector<TRef<TPeerObject>>& peers = task.ActivePeers();
  std::stable_sort(peers.begin(), peers.end(), [&task](const TRef<TPeerObject>& a, const TRef<TPeerObject>& b) {
    return ComparePeers(task, a.get(), b.get()) < 0;
  });
  int64_t down = 0;
  int64_t up = 0;
  for (const TRef<TPeerObject>& peer : peers) {
    if (!peer) continue;
    peer->counters.downloadRate = peer->counters.windowDelivered / static_cast<int64_t>(kPeriod);
    TPeerId* id = peer->PeerId();
    if (id && peer->counters.downloadRate > 0) id->lastRate = peer->counters.downloadRate;
    peer->counters.uploadRate = peer->counters.windowSent / static_cast<int64_t>(kPeriod);
    peer->counters.windowDelivered = peer->counters.windowSent = 0;
    peer->stats.chokeChanged = false;
    peer->stats.settled = true;
    down += peer->counters.downloadRate;
    up += peer->counters.uploadRate;
  }
  task.SetPeerRates(down, up);
}

void TPeerUpkeep::Prune(IPeerTask& task) {
  std::vector<TRef<TPeerObject>>& peers = task.ActivePeers();
  int64_t greeted = std::count_if(peers.begin(), peers.end(), [](const TRef<TPeerObject>& p) {
    return p && p->linkState == TPeerObject::kGreeted;
  });
  int64_t keep = task.MaxConnections() - kSpareConnections;
  keep -= std::max<int64_t>(keep / 12 - 6, 0);
  const int64_t idleLimit = keep + kIdleMargin;
  const int64_t unchokeLimit = UnchokeLimit(task);
  if (greeted == 0 || greeted <= keep) return;
  const TPieces* pieces = task.Pieces();
  const bool keepSeeds = task.HasMetadata() && pieces &&
                         pieces->PieceCount() - pieces->CountDoneOrSkipped() <= kFewUnverified;
  for (int64_t i = static_cast<int64_t>(peers.size()) - 1; i >= 0; --i) {
    const TRef<TPeerObject> peer = peers[static_cast<size_t>(i)];
    if (!peer) continue;
    TPeerId* id = peer->PeerId();
    if (id && (id->kind == SOURCE_HTTP || id->kind == SOURCE_FTP)) continue;
    const bool drop = peer->linkState == TPeerObject::kGreeted
                          ? greeted > keep && peer->IsDroppable(keepSeeds)
                          : i > idleLimit && peer->counters.downloadRate == 0;
    if (!drop) {
      auto* bt = dynamic_cast<TBTPeer*>(peer.get());
      if (bt && bt->GreetingComplete() && i > unchokeLimit && !bt->amChoking) {
        bt->Choke();
        bt->stats.chokeChanged = true;
      }
      continue;
    }
    if (peer->linkState == TPeerObject::kGreeted) --greeted;
    peers.erase(peers.begin() + i);
    if (id) task.PenalizeSource(*id, kDropPenalty);
    peer->Reset();
  }
}

int64_t TPeerUpkeep::UnchokeLimit(IPeerTask& task) {
  return task.AverageDownloadRate() / 8192 + 8 * int64_t{task.UploadSlots()} + 32;
}

void TPeerUpkeep::SwarmUpkeep(IPeerTask& task) {
  ++runs_;
  seeds_ = 0;
  const bool complete = task.IsComplete();
  const int64_t unchokeLimit = UnchokeLimit(task);
  const std::vector<TRef<TPeerObject>>& peers = task.ActivePeers();
  for (size_t i = 0; i < peers.size(); ++i) {
    auto* peer = dynamic_cast<TBTPeer*>(peers[i].get());
    if (!peer || !peer->GreetingComplete()) continue;
    TBTWireState::StatsRecord* record = peer->GetStats(1);
    haveMessages_ += record->haveMessages;
    record->haveMessages = 0;
    if (complete && peer->IsSeed()) ++seeds_;
    if (complete && peer->ShouldDisconnect()) {
      // Both sides have everything: the pool lets it go at its next step.
      peer->Socket()->Close();
      peer->linkState = TPeerObject::kNoLink;
      continue;
    }
    // A peer choked for its silence stays choked: our own unchoke would count as its traffic.
    if (peer->amChoking && !peer->stats.chokeChanged && peer->stats.idle < kStallLimit &&
        static_cast<int64_t>(i) <= unchokeLimit) {
      peer->Unchoke();
    }
    if (runs_ % kStallEvery == 0) CheckStall(*peer);
  }
}

void TPeerUpkeep::CheckStall(TBTPeer& peer) {
  QSocket& socket = *peer.Socket();
  const uint64_t sent = socket.BytesSent();
  const uint64_t received = socket.BytesReceived();
  if (sent == peer.stats.stallSent && received == peer.stats.stallReceived) {
    if (peer.stats.idle > kStallLimit) {
      socket.Close();
      peer.linkState = TPeerObject::kNoLink;
    } else {
      ++peer.stats.idle;
    }
  }
  peer.stats.stallSent = sent;
  peer.stats.stallReceived = received;
  if (peer.stats.idle >= kStallLimit && peer.IsConnected() && !peer.amChoking) peer.Choke();
}

}  // namespace bw
