#include "engine/task/TWorkWithPeers.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <climits>
#include <cstring>

#include "engine/frame/EngineClock.h"
#include "engine/net/ConnectionLimits.h"
#include "engine/net/ProcessIPFilter.h"
#include "engine/net/UdpIdentity.h"
#include "engine/net/UdpServerService.h"
#include "engine/sources/PeerTransport.h"
#include "engine/sources/SourceAddress.h"
#include "engine/sources/TPeerObject.h"
#include "platform/Clock.h"
#include "engine/net/QSocket.h"
#include "engine/task/EngineSettings.h"
#include "engine/task/LanDiscovery.h"
#include "engine/task/PendingRoute.h"
#include "engine/task/SwarmListener.h"
#include "engine/task/TPieceScheduler.h"
#include "engine/task/TaskRegistry.h"

namespace bw {
namespace {

constexpr int32_t kStepFailurePenalty = 6;
constexpr size_t kHandshakeMinimum = 48;
constexpr size_t kHashAt = 28;
constexpr size_t kPeerIdAt = 48;
constexpr uint8_t kEnginePeerPrefix[4] = {0x00, 0x01, 'B', 'w'};

struct SwarmEntry {
  TWorkWithPeers* task;
  std::array<uint8_t, 20> hash;
};

// Guarded by the registry lock.
std::vector<SwarmEntry>& SwarmList() {
  static std::vector<SwarmEntry> list;
  return list;
}

// The info hash a BitTorrent handshake names; null for anything else.
const uint8_t* HandshakeHash(const uint8_t* data, size_t len) {
  static constexpr char kProtocol[] = "BitTorrent protocol";
  if (!data || len < kHandshakeMinimum || data[0] != 19 || std::memcmp(data + 1, kProtocol, 19) != 0) return nullptr;
  return data + kHashAt;
}

bool IsUrlKind(int32_t kind) { return kind == SOURCE_HTTP || kind == SOURCE_FTP; }

bool IsLoopback(uint32_t ip) {
  uint8_t b[4];
  std::memcpy(b, &ip, 4);
  return b[0] == 127 && b[1] == 0 && b[2] == 0 && b[3] == 1;
}

bool IsFinished(const TPeerObject& peer) {
  return peer.workState == TPeerObject::kTimedOut || peer.workState == TPeerObject::kFinished;
}

}  // namespace

TWorkWithPeers::TWorkWithPeers() : random_(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this))) {}

// The swarm list must never route a connection to a task that is gone.
TWorkWithPeers::~TWorkWithPeers() { LeaveSwarm(); }

void TWorkWithPeers::Reset(int full, int flag) {
  LeaveSwarm();
  std::vector<TRef<TPeerObject>> peers;
  peers.swap(activePeers);
  peers.insert(peers.end(), sparePeers.begin(), sparePeers.end());
  sparePeers.clear();
  for (const TRef<TPeerObject>& peer : peers) peer->Reset();
  candidates.Clear();
  handedMirrors_.clear();
  trackerInterval_ = TCandidateList::kTrackerInterval;
  trackersHandedOut_ = false;
  idleSeconds_ = 0;
  lanAnnounced_ = false;
  lastPass_ = lastTrim_ = 0;
  lastStepCheckMs_ = 0;
  lastTrimCount_ = -1;
  {
    QScopedLock guard(lock);
    maxSourceConnections_ = kDefaultSourceConnections;
    if (full) trackerText_.clear();
  }
  TBaseWork::Reset(full, flag);
}

int TWorkWithPeers::SetPeerLimits(int maxSourceConnections, int maxPeerConnections) {
  QScopedLock guard(lock);
  maxSourceConnections_ = maxSourceConnections;
  maxPeerConnections_ = maxPeerConnections;
  return kEngineOk;
}

int32_t TWorkWithPeers::MaxSourceConnections() {
  QScopedLock guard(lock);
  return maxSourceConnections_;
}

int32_t TWorkWithPeers::MaxPeerConnections() {
  QScopedLock guard(lock);
  return maxPeerConnections_;
}

// ---- candidates ----

TPeerId* TWorkWithPeers::AddCandidate(uint32_t ip, int32_t port, int32_t kind, bool atFront, int32_t priority) {
  if (TPeerId* known = candidates.Find(ip, port, kind)) {
    if (kind != SOURCE_BTNODE) std::memset(known->peerIdBytes, 0, sizeof known->peerIdBytes);
    known->priority = priority;
    return known;
  }
  TRef<TPeerId> id = MakeRef<TPeerId>();
  id->ip = ip;
  id->port = port;
  id->kind = kind;
  id->priority = priority;
  if (kind == SOURCE_BTNODE) {
    std::memcpy(id->peerIdBytes + 14, &ip, 4);
    id->peerIdBytes[18] = static_cast<uint8_t>(port >> 8);
    id->peerIdBytes[19] = static_cast<uint8_t>(port);
    id->allowance = 1;
    id->parsed = 1;
    id->priority = std::min(kPeerPriority, priority);
    uint8_t b[4];
    std::memcpy(b, &ip, 4);
    id->addressText = "btnode://" + std::to_string(b[0]) + "." + std::to_string(b[1]) + "." +
                      std::to_string(b[2]) + "." + std::to_string(b[3]) + ":" + std::to_string(port);
  }
  TPeerId* added = id.get();
  return candidates.Add(std::move(id), atFront || IsUrlKind(kind)) ? added : nullptr;
}

bool TWorkWithPeers::AddSource(const TPeerId& source) {
  const bool bitTorrent = source.kind == SOURCE_BTNODE;
  if (bitTorrent && IsLoopback(source.ip)) return false;
  const uint8_t* handshake = SwarmHandshake();
  if (bitTorrent && handshake && (p2sp || bt) &&
      std::memcmp(source.peerIdBytes, handshake + kPeerIdAt, sizeof source.peerIdBytes) == 0) {
    return false;
  }
  if (!source.addressText.empty() && candidates.FindText(source.addressText)) return true;
  // A peer is its address; a URL source is its URL, so a redirect to another path on the same
  // server is a source of its own.
  TPeerId* known = bitTorrent ? candidates.Find(source.ip, source.port, source.kind) : nullptr;
  if (known) {
    static constexpr uint8_t kNone[20] = {};
    if (std::memcmp(source.peerIdBytes, kNone, sizeof kNone) != 0) {
      std::memcpy(known->peerIdBytes, source.peerIdBytes, sizeof kNone);
    }
    return true;
  }
  // Only what names the source is copied: the counters of the finder's identity are not ours.
  TRef<TPeerId> copy = MakeRef<TPeerId>(source.addressText);
  copy->parsed = source.parsed;
  copy->lookupFailed = source.lookupFailed;
  copy->overTcp = source.overTcp;
  copy->port = source.port;
  copy->priority = source.priority;
  copy->allowance = source.allowance;
  copy->ip = source.ip;
  copy->kind = source.kind;
  std::memcpy(copy->peerIdBytes, source.peerIdBytes, sizeof copy->peerIdBytes);
  if (const TUrlInfo* info = source.UrlInfoIfAny()) copy->UrlInfo() = *info;
  if (bitTorrent) {
    copy->priority = kPeerPriority;
    if (std::memcmp(copy->peerIdBytes + 16, kUdpMark, sizeof kUdpMark) != 0) std::memcpy(copy->peerIdBytes, kEnginePeerPrefix, 4);
  }
  if (!candidates.AddAmongEqual(std::move(copy), static_cast<uint32_t>(random_()))) return false;
  candidates.Sort();
  return true;
}

TPeerId* TWorkWithPeers::AddParsed(const std::string& text, bool* lookupFailed) {
  TRef<TPeerId> id = MakeRef<TPeerId>(text);
  id->priority = kConfiguredPriority;
  id->ownLine = true;
  if (!ParseSourceAddress(*id)) {
    if (id->lookupFailed) *lookupFailed = true;
    return nullptr;
  }
  // The same source on two lines is one identity.
  TPeerId* known = candidates.FindText(id->addressText);
  if (!known && id->kind == SOURCE_BTNODE) known = candidates.Find(id->ip, id->port, id->kind);
  if (known) {
    known->priority = std::max(known->priority, id->priority);
    return known;
  }
  TPeerId* added = id.get();
  return candidates.Add(std::move(id), true) ? added : nullptr;
}

void TWorkWithPeers::HandOutSources() {
  assert(OnOwnThread());
  std::vector<std::pair<size_t, TaskSource>> lines;
  {
    QScopedLock guard(lock);
    if (usedSources.empty()) usedSources = sources;
    for (size_t i = sources.size(); i-- > 0;) {
      const TaskSource& source = sources[i];
      if (source.text.empty() || source.mark == kSourceHandedOut || source.mark == kSourceTorrentHandedOut) continue;
      lines.emplace_back(i, source);
    }
  }
  // Parsing may wait for name lookups: the task lock stays free meanwhile.
  bool lookupFailed = false;
  std::vector<size_t> handed;
  for (const auto& [index, source] : lines) {
    TPeerId* id = AddParsed(source.text, &lookupFailed);
    if (!id) continue;
    if (source.mark == kSourceTorrent) {
      // The torrent file is fetched whole into memory, never into the piece map.
      id->UrlInfo().wholeBody = true;
      id->UrlInfo().sourceClass = 1;
    }
    handed.push_back(index);
  }
  {
    QScopedLock guard(lock);
    for (size_t index : handed) {
      if (index >= sources.size()) continue;
      TaskSource& source = sources[index];
      if (source.mark == kSourceTorrent) source.mark = kSourceTorrentHandedOut;
      if (source.mark == kSourceIdle) source.mark = kSourceHandedOut;
    }
  }
  HandOutMirrors();
  HandOutTrackers();
  if (lookupFailed) SetHostUnresolved();
}

void TWorkWithPeers::HandOutTrackers() {
  const std::vector<std::string> trackers = TorrentTrackers();
  if (trackersHandedOut_ || trackers.empty()) return;
  trackersHandedOut_ = true;
  // A tracker whose name does not resolve is left out; the task still runs on its other sources.
  bool lookupFailed = false;
  for (const std::string& address : trackers) {
    if (!address.empty()) AddParsed("tracker://" + address, &lookupFailed);
  }
}

void TWorkWithPeers::HandOutMirrors() {
  std::vector<std::string> urls;
  std::vector<std::string> hosts;
  {
    QScopedLock guard(lock);
    urls = mirrors;
    hosts = mirrorHosts;
  }
  // Mirrors taken off the lists leave the pool.
  std::erase_if(handedMirrors_, [&](const std::pair<std::string, std::string>& handed) {
    if (std::find(urls.begin(), urls.end(), handed.first) != urls.end()) return false;
    if (TPeerId* id = candidates.FindText(handed.second)) candidates.Remove(id);
    return true;
  });
  bool lookupFailed = false;
  for (size_t i = 0; i < urls.size(); ++i) {
    const std::string& url = urls[i];
    const bool known = std::any_of(handedMirrors_.begin(), handedMirrors_.end(),
                                   [&](const std::pair<std::string, std::string>& h) { return h.first == url; });
    if (known) continue;
    TPeerId* id = AddParsed(url, &lookupFailed);
    if (!id) continue;
    // A mirror given by address serves its site under the host name that comes with it;
    // "null" stands for none.
    const std::string host = i < hosts.size() ? hosts[i] : std::string();
    if (!host.empty() && host != "null") id->UrlInfo().hostHeader = host;
    handedMirrors_.emplace_back(url, id->addressText);
  }
  if (lookupFailed) SetHostUnresolved();
}

void TWorkWithPeers::PruneCandidates() {
  if (candidates.Prune() > 0) SetHostUnresolved();
}

void TWorkWithPeers::CopyIPFilter() { ipFilter = ProcessIPFilterCopy(); }

void TWorkWithPeers::SetHostUnresolved() {
  {
    QScopedLock guard(lock);
    working.status = kTaskStatusHostUnresolved;
  }
  Publish(false, true);
}

void TWorkWithPeers::AppendTrackerText(const std::string& text) {
  if (text.empty()) return;
  QScopedLock guard(lock);
  if (!trackerText_.empty()) trackerText_ += "\r\n";
  trackerText_ += text;
  size_t lines = 1;
  for (size_t at = trackerText_.find("\r\n"); at != std::string::npos; at = trackerText_.find("\r\n", at + 2)) ++lines;
  for (; lines > kTrackerReportLines; --lines) trackerText_.erase(0, trackerText_.find("\r\n") + 2);
}

void TWorkWithPeers::NoteTrackerAnswer(int64_t interval, const std::string& report) {
  if (interval > 0) trackerInterval_ = static_cast<uint64_t>(interval);
  AppendTrackerText(report);
}

std::string TWorkWithPeers::TrackerText() {
  QScopedLock guard(lock);
  return trackerText_;
}

// ---- readiness and connections ----

bool TWorkWithPeers::DuplicatesConnected(const TPeerId& id) const {
  for (const TRef<TPeerObject>& peer : activePeers) {
    const TPeerId* other = peer->PeerId();
    if (!other || other == &id || !peer->IsBitTorrent()) continue;
    if (other->ip != id.ip) continue;
    if (other->port == id.port || std::memcmp(other->peerIdBytes, id.peerIdBytes, sizeof id.peerIdBytes) == 0) {
      return true;
    }
  }
  return false;
}

bool TWorkWithPeers::IsReady(TPeerId& id, bool dataFlowing, uint64_t now) {
  if (id.kind == SOURCE_BTNODE && DuplicatesConnected(id)) return false;
  if (IsUrlKind(id.kind) && ContentComplete()) return false;
  // Stalled connections hold their work until the body time-out: another takes it over, as the
  // end game hands it, whatever the source's allowance and back-off.
  if (IsUrlKind(id.kind) && ConnectionsStalled(id) && SourceWorksInRanges(id)) return true;
  if (IsUrlKind(id.kind) && id.activeConnections > 0 && id.activeConnections >= ConnectionTarget(id)) {
    return false;
  }
  const bool hasWork = IsUrlKind(id.kind) && id.activeConnections == 1 && SourceHasWork(id);
  return TCandidateList::IsReady(id, dataFlowing, hasWork, now, trackerInterval_);
}

TRef<TPeerObject> TWorkWithPeers::NewPeerObject(int32_t) { return {}; }

TRef<TPeerObject> TWorkWithPeers::CreatePeer(int32_t kind) {
  auto spare = std::find_if(sparePeers.begin(), sparePeers.end(), [kind](const TRef<TPeerObject>& p) {
    return static_cast<int32_t>(p->peerType) == kind;
  });
  if (spare == sparePeers.end()) return NewPeerObject(kind);
  TRef<TPeerObject> peer = std::move(*spare);
  sparePeers.erase(spare);
  return peer;
}

int32_t TWorkWithPeers::ConnectsInProgress() const {
  return static_cast<int32_t>(std::count_if(activePeers.begin(), activePeers.end(),
                                            [](const TRef<TPeerObject>& p) { return p->IsConnecting(); }));
}

int32_t TWorkWithPeers::StartConnections(TPeerId& id, int32_t started, int32_t wanted, uint64_t now, bool* noWork) {
  if (!AcceptsAddress(id.ip)) return 0;
  const int32_t target = ConnectionTarget(id);
  if (IsUrlKind(id.kind) && target > id.activeConnections && id.activeConnections > 0) {
    // The next step is judged by what this one brings.
    id.stepFrom = id.activeConnections;
    id.stepRate = ConnectionFacts(id).rate;
  }
  int32_t count = 0;
  while (id.activeConnections < target && started + count < wanted && ConnectsInProgress() < HalfOpenLimit()) {
    TRef<TPeerObject> peer = CreatePeer(id.kind);
    if (!peer) {
      if (id.activeConnections == 0) unservable_.push_back(&id);
      break;
    }
    ++id.attempts;
    if (!peer->ConnectTo(&id)) {
      // Declined for want of work before any dialling: not an attempt on the source.
      if (peer->workState == TPeerObject::kFinished) {
        --id.attempts;
        if (noWork) *noWork = true;
      }
      peer->Reset();
      break;
    }
    peer->stats.startMs = TickMs();
    activePeers.push_back(std::move(peer));
    id.lastAttempt = now;
    ++count;
  }
  return count;
}

int32_t TWorkWithPeers::ConnectionTarget(const TPeerId& id) {
  if (!IsUrlKind(id.kind)) return id.allowance;
  const int32_t target = UrlConnectionTarget(ConnectionFacts(id));
  // Connections that all stalled do not count: one more may take their work over.
  return ConnectionsStalled(id) && SourceWorksInRanges(id) ? std::max(target, id.activeConnections + 1) : target;
}

bool TWorkWithPeers::ConnectionsStalled(const TPeerId& id) const {
  // Judged on the clock the peers stamp their data with.
  const uint64_t now = EngineClock();
  bool any = false;
  for (const TRef<TPeerObject>& peer : activePeers) {
    if (peer->PeerId() != &id) continue;
    if (!TPieceScheduler::Stalled(*peer, now)) return false;
    any = true;
  }
  return any;
}

UrlConnectionFacts TWorkWithPeers::ConnectionFacts(const TPeerId& id) {
  UrlConnectionFacts facts;
  facts.active = id.activeConnections;
  facts.least = Settings().minUrlConnections;
  facts.allowance = id.allowance;
  facts.stepFrom = id.stepFrom;
  facts.stepRate = id.stepRate;
  const uint32_t ms = TickMs();
  for (const TRef<TPeerObject>& peer : activePeers) {
    const uint32_t ran = ms - peer->stats.startMs;
    if (peer->PeerId() != &id || ran < kRateSettleMs) continue;
    const int64_t rate = peer->counters.deliveredKiB * 1024 * 1000 / ran;
    ++facts.settled;
    facts.fast += rate >= kHeldConnectionRate;
    facts.rate += rate;
  }
  return facts;
}

uint32_t TWorkWithPeers::TickMs() { return platform::TickCountMs(); }

int32_t TWorkWithPeers::CountConnected(bool urlSources) const {
  return static_cast<int32_t>(
      std::count_if(activePeers.begin(), activePeers.end(), [urlSources](const TRef<TPeerObject>& p) {
        return (urlSources ? p->IsUrlSource() : p->IsBitTorrent()) && p->IsConnected();
      }));
}

int32_t TWorkWithPeers::StartOnReady(bool urlSources, int32_t wanted, uint64_t now) {
  const bool dataFlowing = working.smoothedRate > 0;
  const std::vector<TRef<TPeerId>> walk = candidates.Items();
  int32_t started = 0;
  for (const TRef<TPeerId>& id : walk) {
    if (started >= wanted) break;
    if (urlSources ? !IsUrlKind(id->kind) : IsUrlKind(id->kind)) continue;
    if (!urlSources && !ProcessSettings().p2pEnabled.load()) break;
    if (!IsReady(*id, dataFlowing, now)) continue;
    bool noWork = false;
    const int32_t got = StartConnections(*id, started, wanted, now, &noWork);
    // A source with nothing left to fetch is idle, not failing.
    if (got == 0 && urlSources && !noWork) ++id->failures;
    started += got;
  }
  // A source no peer object can be made for stays useless: it leaves the pool.
  for (TPeerId* id : unservable_) candidates.Remove(id);
  unservable_.clear();
  return started;
}

int32_t TWorkWithPeers::UrlPass(uint64_t now) {
  const int32_t limit = MaxSourceConnections();
  const int32_t connected = CountConnected(true);
  if (connected >= limit) return 0;
  int32_t started = StartOnReady(true, limit - connected, now);
  if (started > 0) {
    idleSeconds_ = 0;
  } else if (++idleSeconds_ > 9) {
    // A source backing off is not dialled before its time, idle or not: each pass already starts
    // whatever is ready.
    RetireExhausted(now);
    PruneCandidates();
    idleSeconds_ = 0;
  }
  candidates.Sort();
  return started;
}

void TWorkWithPeers::RetireExhausted(uint64_t now) {
  std::vector<TPeerId*> exhausted;
  for (const TRef<TPeerId>& id : candidates.Items()) {
    if (IsUrlKind(id->kind) && id->activeConnections == 0 && id->failures > kExhaustedFailures &&
        id->retiredUntil == 0) {
      exhausted.push_back(id.get());
    }
  }
  for (TPeerId* id : exhausted) RetireSource(*id, now);
}

void TWorkWithPeers::RetireSource(TPeerId& id, uint64_t now) {
  if (id.ownLine) {
    id.retiredUntil = now + kRetiredWait;
  } else {
    candidates.Remove(&id);
  }
}

int32_t TWorkWithPeers::CandidateCount() {
  return static_cast<int32_t>(std::count_if(candidates.Items().begin(), candidates.Items().end(),
                                            [](const TRef<TPeerId>& id) { return id->retiredUntil == 0; }));
}

void TWorkWithPeers::DropPeer(bool urlSources) {
  for (size_t i = activePeers.size(); i-- > 0;) {
    if (urlSources ? !activePeers[i]->IsUrlSource() : !activePeers[i]->IsBitTorrent()) continue;
    TRef<TPeerObject> peer = std::move(activePeers[i]);
    activePeers.erase(activePeers.begin() + static_cast<std::ptrdiff_t>(i));
    KeepAsSpare(std::move(peer));
    return;
  }
}

void TWorkWithPeers::PeerPass(uint64_t now) {
  if (!ProcessSettings().p2pEnabled.load()) {
    DropPeer(false);
    return;
  }
  const int32_t limit = MaxPeerConnections();
  const int32_t connected = CountConnected(false);
  if (connected >= limit) return;
  StartOnReady(false, limit - connected, now);
}

void TWorkWithPeers::TrimUrlConnections(uint64_t now) {
  if (lastTrim_ != 0 && now < lastTrim_ + 31) return;
  lastTrim_ = now;
  const int32_t limit = MaxSourceConnections();
  const int32_t connected = CountConnected(true);
  // At the limit one connection makes way, so that another source gets its turn.
  for (int32_t excess = connected - limit + 1; excess > 0; --excess) DropPeer(true);
  const int32_t wanted = connected == lastTrimCount_ ? 1 : limit - connected;
  lastTrimCount_ = connected;
  if (wanted > 0) StartOnReady(true, wanted, now);
  PruneCandidates();
}

void TWorkWithPeers::ConnectionPasses(uint64_t now) {
  if (lastPass_ != 0 && now == lastPass_) return;
  lastPass_ = now;
  UrlPass(now);
  PeerPass(now);
  bool mirrorsMoved = false;
  {
    QScopedLock guard(lock);
    mirrorsMoved = mirrorsChanged;
  }
  if (mirrorsMoved) TrimUrlConnections(now);
  candidates.Sort();
}

void TWorkWithPeers::StepUpUrlSources() {
  const uint32_t ms = TickMs();
  if (ms - lastStepCheckMs_ < kStepCheckMs) return;
  lastStepCheckMs_ = ms;
  const uint64_t now = EngineClock();
  const bool dataFlowing = working.smoothedRate > 0;
  int32_t room = MaxSourceConnections() - CountConnected(true);
  // Only sources already connected: dialling the others, and counting their failures, is the
  // passes' work.
  const std::vector<TRef<TPeerId>> walk = candidates.Items();
  for (const TRef<TPeerId>& id : walk) {
    if (room <= 0) break;
    if (!IsUrlKind(id->kind) || id->activeConnections == 0 || !IsReady(*id, dataFlowing, now)) continue;
    room -= StartConnections(*id, 0, room, now);
  }
}

void TWorkWithPeers::MaintainPeers() {
  assert(OnOwnThread());
  const uint64_t now = EngineClock();
  RetireExhausted(now);
  ConnectionPasses(now);
}

// ---- the active peers ----

void TWorkWithPeers::Penalize(TPeerId& id, int32_t seconds) {
  ++id.failures;
  seconds = std::max(seconds, 1);
  const int32_t wait = seconds * std::min(id.failures, 10);
  id.waitTicks = id.waitTicks > INT32_MAX - wait ? INT32_MAX : id.waitTicks + wait;
  // Penalties that meet before the next readiness test keep the longest wait any of them asked.
  id.backOffFloor = id.backOffShortened ? seconds : std::max(id.backOffFloor, seconds);
  id.backOffShortened = false;
}

void TWorkWithPeers::KeepAsSpare(TRef<TPeerObject> peer) {
  peer->Reset();
  if (sparePeers.size() < kMaxSparePeers) sparePeers.push_back(std::move(peer));
}

void TWorkWithPeers::RetirePeer(TPeerObject* retired) {
  // Held here: leaving the active list may drop the last other handle.
  TRef<TPeerObject> peer = TRef<TPeerObject>::Share(retired);
  std::erase(activePeers, peer);
  if (TPeerId* id = peer->PeerId(); id && !IsFinished(*peer) && !RetriesOverUdp(*id, UdpTransportAllowed())) {
    Penalize(*id, kStepFailurePenalty);
    candidates.Sort();
  }
  KeepAsSpare(std::move(peer));
}

void TWorkWithPeers::ReplaceUrlSources() {
  const uint64_t now = EngineClock();
  bool dropped = false;
  for (size_t i = activePeers.size(); i-- > 0;) {
    const TPeerObject& candidate = *activePeers[i];
    if (!candidate.IsUrlSource() || candidate.counters.downloadRate >= kSlowSourceRate ||
        now < candidate.stats.startTime + kSlowSourceGrace) {
      continue;
    }
    TRef<TPeerObject> peer = std::move(activePeers[i]);
    activePeers.erase(activePeers.begin() + static_cast<std::ptrdiff_t>(i));
    // Backed off, the slow source ranks behind the ones not tried yet.
    if (TPeerId* id = peer->PeerId()) Penalize(*id, kStepFailurePenalty);
    KeepAsSpare(std::move(peer));
    dropped = true;
  }
  if (!dropped) return;
  candidates.Sort();
  const int32_t room = MaxSourceConnections() - CountConnected(true);
  if (room > 0) StartOnReady(true, room, now);
}

void TWorkWithPeers::RunConnectionPasses() { ConnectionPasses(EngineClock()); }

// ---- the swarm ----

void TWorkWithPeers::JoinSwarm() {
  const uint8_t* handshake = SwarmHandshake();
  if (!handshake) return;
  SwarmEntry entry{this, {}};
  std::memcpy(entry.hash.data(), handshake + kHashAt, entry.hash.size());
  if (std::all_of(entry.hash.begin(), entry.hash.end(), [](uint8_t b) { return b == 0; })) return;
  QScopedLock guard(TaskRegistry::Lock());
  std::vector<SwarmEntry>& list = SwarmList();
  if (std::none_of(list.begin(), list.end(), [this](const SwarmEntry& e) { return e.task == this; })) {
    list.push_back(entry);
  }
}

void TWorkWithPeers::LeaveSwarm() {
  QScopedLock guard(TaskRegistry::Lock());
  std::erase_if(SwarmList(), [this](const SwarmEntry& e) { return e.task == this; });
}

TWorkWithPeers* TWorkWithPeers::FindSwarmTask(const uint8_t* data, size_t len) {
  const uint8_t* hash = HandshakeHash(data, len);
  if (!hash) return nullptr;
  QScopedLock guard(TaskRegistry::Lock());
  for (const SwarmEntry& entry : SwarmList()) {
    if (std::memcmp(entry.hash.data(), hash, entry.hash.size()) == 0) return entry.task;
  }
  return nullptr;
}

bool TWorkWithPeers::IsSwarmHash(const uint8_t* hash) {
  QScopedLock guard(TaskRegistry::Lock());
  const std::vector<SwarmEntry>& list = SwarmList();
  return std::any_of(list.begin(), list.end(), [hash](const SwarmEntry& e) {
    return std::memcmp(e.hash.data(), hash, e.hash.size()) == 0;
  });
}

bool TWorkWithPeers::IsOwnHandshake(const uint8_t* data, size_t len) {
  const uint8_t* hash = HandshakeHash(data, len);
  const uint8_t* handshake = SwarmHandshake();
  return hash && handshake && std::memcmp(hash, handshake + kHashAt, 20) == 0;
}

bool TWorkWithPeers::AcceptsIncoming(const uint8_t* data, size_t len) {
  const auto limit = static_cast<size_t>(std::max(Settings().maxConnections, 0));
  const auto connected = static_cast<size_t>(
      std::count_if(activePeers.begin(), activePeers.end(), [](const TRef<TPeerObject>& p) {
        return p->IsConnected();
      }));
  return (activePeers.size() < limit + 4 || connected < limit) && IsOwnHandshake(data, len);
}

}  // namespace bw

namespace bw {

// ---- the listener and the LAN ----

void TWorkWithPeers::MaintainListener() {
  const uint8_t* handshake = SwarmHandshake();
  ListenerRound round = SwarmListener::Process().Serve(
      handshake ? handshake + kHashAt : nullptr, [this](uint32_t ip) { return AcceptsAddress(ip); },
      platform::TickCountMs());
  if (!round.served) return;
  // Only a swarm has anything to find on the LAN.
  if (round.port > 0 && handshake) LanDiscovery::Process().Join();
  {
    QScopedLock guard(lock);
    listenText_ = std::move(round.addressText);
    listenPort_ = round.port;
  }
  for (std::unique_ptr<QSocket>& socket : round.claimed) AdoptIncoming(std::move(socket));
}

bool TWorkWithPeers::AdoptIncoming(std::unique_ptr<QSocket> socket) {
  if (!socket) return false;
  const uint8_t* data = socket->ReceivedData();
  const auto size = static_cast<size_t>(socket->ReceivedSize());
  const int64_t skip = HandshakeOffset(data, size);
  if (skip < 0 || !AcceptsIncoming(data + skip, size - static_cast<size_t>(skip))) return false;
  TRef<TPeerObject> peer = CreatePeer(SOURCE_BTNODE);
  if (!peer) return false;
  if (!peer->AttachSocket(std::move(socket))) {
    KeepAsSpare(std::move(peer));
    return false;
  }
  activePeers.push_back(std::move(peer));
  return true;
}

TPeerId* TWorkWithPeers::IdentifyIncoming(uint32_t ip, int32_t port, const uint8_t* peerId) {
  const auto samePeer = [ip, peerId](const TPeerId& id) {
    return id.kind == SOURCE_BTNODE && id.ip == ip && std::memcmp(id.peerIdBytes, peerId, sizeof id.peerIdBytes) == 0;
  };
  for (const TRef<TPeerObject>& peer : activePeers) {
    const TPeerId* other = peer->PeerId();
    if (other && peer->IsBitTorrent() && peer->GreetingComplete() && samePeer(*other)) return nullptr;
  }
  const std::vector<TRef<TPeerId>>& known = candidates.Items();
  const auto found = std::find_if(known.begin(), known.end(), [&](const TRef<TPeerId>& id) { return samePeer(*id); });
  if (found != known.end()) return found->get();
  return AddCandidate(ip, port, SOURCE_BTNODE, false, kPeerPriority);
}

std::string TWorkWithPeers::ListenAddressText() {
  QScopedLock guard(lock);
  return listenText_;
}

int32_t TWorkWithPeers::ListenPort() {
  QScopedLock guard(lock);
  return listenPort_;
}

void TWorkWithPeers::DiscoverLanPeers() {
  const uint8_t* handshake = SwarmHandshake();
  if (!handshake) return;
  LanTaskFacts facts;
  facts.task = this;
  facts.infoHash = handshake + kHashAt;
  facts.peerId = handshake + kPeerIdAt;
  facts.listenPort = SwarmListener::Process().Port();
  facts.taskCount = TaskRegistry::Snapshot().size();
  for (const LanPeer& found : LanDiscovery::Process().Pass(facts, lanAnnounced_, EngineClock())) {
    TPeerId* id = AddCandidate(found.ip, found.port, SOURCE_BTNODE, true, kLanPriority);
    if (!id) continue;
    id->priority = kLanPriority;
    std::memcpy(id->peerIdBytes, found.peerId.data(), sizeof id->peerIdBytes);
  }
}

}  // namespace bw
