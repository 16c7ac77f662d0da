#include "engine/task/TCandidateList.h"

#include <algorithm>

#include "engine/frame/EngineLog.h"

namespace bw {
namespace {

constexpr int kPoolChannel = 38;

// Back-off left after the failure history shortened it: 0 below the divisor.
int32_t Shortened(int32_t ticks, int32_t divisor) { return ticks < divisor ? 0 : ticks / divisor; }

// Once per penalty, and never below what the penalty itself asked for: a failing source is asked
// about once per back-off period, however long nothing else works.
void ShortenBackOff(TPeerId& id, bool dataFlowing) {
  if (id.backOffShortened) return;
  id.backOffShortened = true;
  int32_t wait = id.waitTicks;
  if (id.failures > 15) {
    wait = 0;
  } else if (id.failures > 5) {
    wait = Shortened(wait, 10);
  } else if (id.failures > 0) {
    wait = Shortened(wait, 5);
  }
  if (!dataFlowing) wait = wait <= 10 ? 0 : wait / 10;
  id.waitTicks = std::max(wait, std::min(id.waitTicks, id.backOffFloor));
}

// A retired source back after its long wait: what it was retired for is forgotten.
void ComeBack(TPeerId& id) {
  id.retiredUntil = 0;
  id.failures = 0;
  id.badPieces = 0;
  id.waitTicks = 0;
  if (id.UrlInfoIfAny()) {
    TUrlInfo& url = id.UrlInfo();
    url.rangeMismatches = 0;
    url.redirectCount = 0;
    url.redirectRepeats = 0;
  }
}

}  // namespace

bool TCandidateList::RanksBefore(const TPeerId& a, const TPeerId& b) {
  if (a.priority != b.priority) return a.priority > b.priority;
  if (a.rankB != b.rankB) return a.rankB > b.rankB;
  if (a.failures != b.failures) return a.failures < b.failures;
  if (a.attempts != b.attempts) return a.attempts < b.attempts;
  return a.waitTicks < b.waitTicks;
}

bool TCandidateList::IsReady(TPeerId& id, bool dataFlowing, bool hasWork, uint64_t now, uint64_t trackerInterval) {
  if (!id.parsed) return false;
  if (id.retiredUntil != 0) {
    if (now < id.retiredUntil) return false;
    ComeBack(id);
  }
  switch (id.kind) {
    case SOURCE_BTNODE:
      if (id.activeConnections > 0) return false;
      break;
    case SOURCE_TRACKER:
      if (id.activeConnections > 0) return false;
      // A tracker never asked has no interval to wait out.
      if (id.attempts > 0 && now < id.lastAttempt + trackerInterval) return false;
      break;
    case SOURCE_HTTP:
    case SOURCE_FTP:
      if (id.activeConnections >= id.allowance) return false;
      if (id.activeConnections == 1) return hasWork;
      if (id.activeConnections == 0) ShortenBackOff(id, dataFlowing);
      break;
    default:
      return false;
  }
  // One second of back-off per second, however often the test runs in it.
  if (id.waitTicks > 0 && now != id.lastCountdown) {
    --id.waitTicks;
    id.lastCountdown = now;
  }
  return id.waitTicks <= 0;
}

bool TCandidateList::MakeRoom(const TPeerId& id) {
  if (items_.size() < kMaxCandidates) return true;
  auto worst = std::max_element(items_.begin(), items_.end(), [](const TRef<TPeerId>& a, const TRef<TPeerId>& b) {
    return RanksBefore(*a, *b);
  });
  if (!RanksBefore(id, **worst)) return false;
  TRef<TPeerId> gone = std::move(*worst);
  items_.erase(worst);
  ReleaseGuarded(std::move(gone));
  return true;
}

bool TCandidateList::Add(TRef<TPeerId> id, bool atFront) {
  if (!Admit(id)) return false;
  items_.insert(atFront ? items_.begin() : items_.end(), std::move(id));
  return true;
}

bool TCandidateList::AddAmongEqual(TRef<TPeerId> id, uint32_t pick) {
  if (!Admit(id)) return false;
  const int32_t priority = id->priority;
  auto first = std::find_if(items_.begin(), items_.end(),
                            [priority](const TRef<TPeerId>& c) { return c->priority == priority; });
  auto end = std::find_if(first, items_.end(), [priority](const TRef<TPeerId>& c) { return c->priority != priority; });
  const auto span = static_cast<uint32_t>(end - first);
  items_.insert(first + pick % (span + 1), std::move(id));
  return true;
}

bool TCandidateList::Remove(TPeerId* id) {
  auto at = std::find(items_.begin(), items_.end(), id);
  if (at == items_.end()) return false;
  TRef<TPeerId> gone = std::move(*at);
  items_.erase(at);
  ReleaseGuarded(std::move(gone));
  return true;
}

int32_t TCandidateList::Prune() {
  int32_t lookupFailures = 0;
  std::vector<TRef<TPeerId>> kept;
  kept.reserve(items_.size());
  for (TRef<TPeerId>& id : items_) {
    if (!id) continue;
    if (id->parsed) {
      kept.push_back(std::move(id));
      continue;
    }
    if (id->lookupFailed) ++lookupFailures;
    ReleaseGuarded(std::move(id));
  }
  items_.swap(kept);
  return lookupFailures;
}

void TCandidateList::Clear() {
  std::vector<TRef<TPeerId>> gone;
  gone.swap(items_);
  for (TRef<TPeerId>& id : gone) ReleaseGuarded(std::move(id));
}

void TCandidateList::Sort() {
  std::erase(items_, TRef<TPeerId>());
  std::stable_sort(items_.begin(), items_.end(),
                   [](const TRef<TPeerId>& a, const TRef<TPeerId>& b) { return RanksBefore(*a, *b); });
}

TPeerId* TCandidateList::Find(uint32_t ip, int32_t port, int32_t kind) const {
  for (const TRef<TPeerId>& id : items_) {
    if (id && id->ip == ip && id->port == port && id->kind == kind) return id.get();
  }
  return nullptr;
}

TPeerId* TCandidateList::FindText(const std::string& addressText) const {
  for (const TRef<TPeerId>& id : items_) {
    if (id && id->addressText == addressText) return id.get();
  }
  return nullptr;
}

void TCandidateList::ReleaseGuarded(TRef<TPeerId> id) {
  try {
    id.reset();
  } catch (...) {
    LogWrite("ClearPeerId Failed..", kPoolChannel, kPoolChannel);
  }
}

}  // namespace bw
