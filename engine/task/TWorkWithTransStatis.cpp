#include "engine/task/TWorkWithTransStatis.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "engine/frame/EngineClock.h"
#include "engine/net/QSocket.h"
#include "engine/task/TaskRegistry.h"
#include "engine/sources/TPeerObject.h"
#include "platform/Clock.h"

namespace bw {
namespace {

constexpr uint32_t kSecondMs = 1000;
constexpr uint32_t kListenerPeriodMs = 400;
// The longest rest while verdicts or writes are on their way: the last pieces of a download
// complete when their results are taken.
constexpr uint32_t kResultsPollMs = 2;
constexpr int32_t kAllKinds = 0xF;
constexpr int32_t kUrlKinds = 2 | 4;
constexpr int32_t kSlowTicksBeforeReplace = 15;
constexpr uint64_t kCacheRoundSeconds = 5;

// Guards the shares handed out and the process-wide limits; taken after the registry lock.
QTMutex& ShareLock() {
  static QTMutex mutex;
  return mutex;
}

int32_t processDownloadLimitKiB = 0;  // share lock
int32_t processUploadLimitKiB = 0;    // share lock
uint64_t processDownloaded = 0;       // registry lock
uint64_t processUploaded = 0;         // registry lock

int32_t ToInt32(int64_t value) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, 0, std::numeric_limits<int32_t>::max()));
}

}  // namespace

void TWorkWithTransStatis::Reset(int full, int flag) {
  meter_.Reset();
  tickPauseMs_ = 0;
  uploadSlots_ = 6;
  slowTicks_ = 0;
  measured_ = false;
  publishPending_ = false;
  cycleSoon_ = false;
  startUptime_ = 0;
  lastCacheRound_ = 0;
  shareReceived_ = 0;
  shareSent_ = 0;
  if (full) {
    httpBytes = 0;
    p2pBytes = 0;
    downloadShare_ = uploadShare_ = 0;
  }
  RecomputeBudgets();
  TWorkWithPieces::Reset(full, flag);
}

uint32_t TWorkWithTransStatis::Uptime() { return EngineUptime(); }

void TWorkWithTransStatis::AddDownloaded(int64_t bytes) {
  meter_.AddReceived(bytes);
  shareReceived_.fetch_add(bytes, std::memory_order_relaxed);
}

void TWorkWithTransStatis::AddKindBytes(int32_t kind, int64_t bytes) {
  if (bytes <= 0) return;
  meter_.AddWritten(bytes);
  (kind == 1 ? p2pBytes : httpBytes) += static_cast<uint64_t>(bytes);
}

void TWorkWithTransStatis::AddUploaded(int64_t bytes) {
  meter_.AddSent(bytes);
  shareSent_.fetch_add(bytes, std::memory_order_relaxed);
}

int64_t TWorkWithTransStatis::DownloadBudgetLeft() const {
  return std::max<int64_t>(downloadBudget_ - meter_.Received(), 0);
}

int64_t TWorkWithTransStatis::PeerDownloadBudget() {
  const int64_t shareLeft = std::max<int64_t>(stepShare_ - (meter_.Received() - stepStart_), 0);
  return std::min(DownloadBudgetLeft(), shareLeft);
}

int64_t TWorkWithTransStatis::UploadBudgetLeft() const {
  return std::max<int64_t>(uploadBudget_ - meter_.Sent(), 0);
}

int64_t TWorkWithTransStatis::SumRates(int32_t kindMask, bool upload) {
  int64_t sum = 0;
  for (const TRef<TPeerObject>& peer : ActivePeers()) {
    if (peer && (peer->peerType & static_cast<uint32_t>(kindMask))) {
      sum += upload ? peer->counters.uploadRate : peer->counters.downloadRate;
    }
  }
  return sum;
}

int64_t TWorkWithTransStatis::SumPeerRates(int32_t kindMask) { return SumRates(kindMask, false); }

void TWorkWithTransStatis::RecomputeBudgets() {
  const TTaskSettings limits = Settings();
  downloadBudget_ = TRateMeter::Budget(limits.downloadLimitKiB, downloadShare_);
  uploadBudget_ = TRateMeter::Budget(limits.uploadLimitKiB, uploadShare_);
}

bool TWorkWithTransStatis::ContentComplete() const {
  return pieces && pieces->PieceCount() > 0 && pieces->DonePieces() >= pieces->PieceCount();
}

void TWorkWithTransStatis::StatisticsTick(uint64_t now) {
  const uint32_t ms = TickMs();
  if (startUptime_ == 0) startUptime_ = Uptime();
  if (!measured_ || ms - lastListenerMs_ >= kListenerPeriodMs) {
    MaintainListener();
    lastListenerMs_ = ms;
  }
  const bool fullStep = !measured_ || ms - lastMeasureMs_ >= kSecondMs;
  int32_t extraUploads = 0;
  if (fullStep) {
    // The second's uploads decide the extra upload steps; measuring clears them.
    const int64_t sentLastSecond = meter_.Sent();
    lastMeasureMs_ = ms;
    measured_ = true;
    Measure(now);
    meter_.RestartTicks();
    extraUploads = TRateMeter::ExtraUploads(sentLastSecond, uploadSlots_);
  }
  if (limitsChanged.exchange(false)) RecomputeBudgets();
  DrivePeers(fullStep, extraUploads);
  RunPeerUpkeep();
  MaintainPieceCache(CacheRound::kTick);
  if (!HasMetadata()) RunConnectionPasses();
  if (!ContentComplete()) StepUpUrlSources();
  meter_.AdvanceTick();
  // Bytes already waiting are worth the shortest pause, unless the budget holds them back.
  tickPauseMs_ = cycleSoon_ && DownloadBudgetLeft() > 0 ? 1 : meter_.TickPauseMs();
  cycleSoon_ = false;
  if (sharesPending_.load(std::memory_order_acquire)) ApplyPendingLimits();
  if (publishPending_) {
    publishPending_ = false;
    Publish(true, false);
  }
}

uint32_t TWorkWithTransStatis::QuietMs() {
  if (!measured_ || cycleSoon_) return 0;
  for (const TRef<TPeerObject>& peer : ActivePeers()) {
    if (peer && peer->IsConnected()) return 0;
  }
  const uint32_t ms = TickMs();
  const uint32_t sinceMeasure = ms - lastMeasureMs_;
  const uint32_t sinceListener = ms - lastListenerMs_;
  if (sinceMeasure >= kSecondMs || sinceListener >= kListenerPeriodMs) return 0;
  const uint32_t rest = std::min(kSecondMs - sinceMeasure, kListenerPeriodMs - sinceListener);
  return pieces && pieces->AwaitsResults() ? std::min(rest, kResultsPollMs) : rest;
}

void TWorkWithTransStatis::SyncFromPieces() {
  working.httpBytes = httpBytes;
  working.p2pBytes = p2pBytes;
  TWorkWithPieces::SyncFromPieces();
}

void TWorkWithTransStatis::Measure(uint64_t now) {
  SyncFromPieces();
  const bool complete = ContentComplete();
  const TRateMeter::Second second = meter_.CloseSecond(complete);
  working.smoothedRate = ToInt32(meter_.SmoothedRate());
  {
    QScopedLock guard(TaskRegistry::Lock());
    processDownloaded += static_cast<uint64_t>(std::max<int64_t>(second.downBytes, 0));
    processUploaded += static_cast<uint64_t>(std::max<int64_t>(second.sent, 0));
  }
  working.downloadedBytes += static_cast<uint64_t>(std::max<int64_t>(second.downBytes, 0));
  working.uploadedBytes += static_cast<uint64_t>(std::max<int64_t>(second.sent, 0));
  taskClock_ = now;

  const int64_t elapsed = static_cast<int64_t>(Uptime()) - static_cast<int64_t>(startUptime_);
  if (!complete) working.averageDownloadRate = ToInt32(TRateMeter::Average(working.downloadedBytes, elapsed));
  working.averageUploadRate = ToInt32(TRateMeter::Average(working.uploadedBytes, elapsed));

  const int64_t downRate = SumRates(kAllKinds, false);
  const int64_t upRate = SumRates(kAllKinds, true);
  working.remainingSeconds = 0;
  if (pieces && (!complete || working.completedAt == 0)) {
    const int64_t missing = pieces->PieceCount() - pieces->DonePieces();
    working.remainingSeconds = ToInt32(TRateMeter::RemainingSeconds(pieces->PieceLength(), missing, downRate));
  }
  {
    QScopedLock guard(lock);
    settings.maxConnections = TRateMeter::MaxConnections(downRate, upRate);
  }
  uploadSlots_ = TRateMeter::UploadSlots(upRate);
  RecomputeBudgets();
  publishPending_ = true;
  if (pieces && pieces->TotalLength() > 0 && now >= lastCacheRound_ + kCacheRoundSeconds) {
    lastCacheRound_ = now;
    MaintainPieceCache(CacheRound::kRegular);
  }

  if (complete) return;
  RunConnectionPasses();
  if (SumPeerRates(kUrlKinds) < kSlowSourceRate) {
    if (++slowTicks_ > kSlowTicksBeforeReplace) {
      ReplaceUrlSources();
      slowTicks_ = 0;
    }
  } else {
    slowTicks_ = 0;
  }
  UpkeepSources();
}

int64_t TWorkWithTransStatis::OwnRate(const TPeerObject& peer, bool complete) {
  // What a peer moved so far in the open window is a lower bound of its rate: a fast new source
  // is driven as one at once instead of filling its socket and waiting for the window to close.
  return complete ? peer.RecentSendRate() : peer.RecentRate();
}

bool TWorkWithTransStatis::RunsDownload(const TRef<TPeerObject>& peer, bool fullStep, bool complete) const {
  // A peer in a command exchange runs every step: its replies would wait for the pipeline.
  return peer && meter_.RunsDownload(OwnRate(*peer, complete), fullStep || peer->InDialogue());
}

void TWorkWithTransStatis::WatchTraffic(TrafficWatch& watch) {
  watch.Clear();
  const bool complete = ContentComplete();
  // A spent budget holds the input back until the next second: waking for it would only spin.
  const bool read = DownloadBudgetLeft() > 0;
  for (const TRef<TPeerObject>& peer : ActivePeers()) {
    // Only the peers the next step runs: the input of the others waits for their turn.
    if (!RunsDownload(peer, false, complete)) continue;
    const QSocket* main = peer->Socket();
    const QSocket* counted = peer->CountedSocket();
    if (main) watch.Add(*main, read);
    if (counted && counted != main) watch.Add(*counted, read);
  }
}

void TWorkWithTransStatis::DrivePeers(bool fullStep, int32_t extraUploads) {
  const bool complete = ContentComplete();
  std::vector<TRef<TPeerObject>>& peers = ActivePeers();
  const auto runs = [&](const TRef<TPeerObject>& peer) { return RunsDownload(peer, fullStep, complete); };
  auto toRun = static_cast<int64_t>(std::count_if(peers.begin(), peers.end(), runs));
  for (size_t i = 0; i < peers.size();) {
    const TRef<TPeerObject> peer = peers[i];
    if (!runs(peer)) {
      ++i;
      continue;
    }
    if (PieceMemoryPressed()) MaintainPieceCache(CacheRound::kTick);
    // Each connection still to run gets an equal part of what is left of the second: the first
    // in rank order cannot take it all and starve the others into their time-outs.
    stepShare_ = DownloadBudgetLeft() / std::max<int64_t>(toRun--, 1);
    stepStart_ = meter_.Received();
    const bool stepped = peer->DownloadStep();
    stepShare_ = TRateMeter::kUnlimited;
    if (stepped) {
      ++i;
      continue;
    }
    RetirePeer(peer.get());
    if (i < peers.size() && peers[i] == peer) ++i;  // the pool kept it
  }
  const int32_t allowed = extraUploads + uploadSlots_;
  int32_t steps = 0;
  for (size_t i = 0; i < peers.size() && steps < allowed; ++i) {
    TPeerObject* peer = peers[i].get();
    if (!peer || !peer->IsBitTorrent() || !meter_.RunsUpload(OwnRate(*peer, complete), extraUploads)) continue;
    peer->UploadStep();
    ++steps;
  }
}

void TWorkWithTransStatis::ApplyPendingLimits() {
  {
    QScopedLock guard(ShareLock());
    if (!sharesPending_.exchange(false)) return;
    downloadShare_ = pendingDownloadShare_;
    uploadShare_ = pendingUploadShare_;
  }
  shareReceived_ = 0;
  shareSent_ = 0;
  RecomputeBudgets();
}

void TWorkWithTransStatis::ShareLimits() {
  QScopedLock registryGuard(TaskRegistry::Lock());
  QScopedLock shareGuard(ShareLock());
  std::vector<TWorkWithTransStatis*> tasks;
  for (TWorkWithPeers* task : SwarmTasks()) {
    if (auto* statis = dynamic_cast<TWorkWithTransStatis*>(task)) tasks.push_back(statis);
  }
  std::vector<int64_t> received;
  std::vector<int64_t> sent;
  for (const TWorkWithTransStatis* task : tasks) {
    received.push_back(task->shareReceived_.load(std::memory_order_relaxed));
    sent.push_back(task->shareSent_.load(std::memory_order_relaxed));
  }
  const std::vector<int64_t> down =
      TRateMeter::ShareOut(static_cast<int64_t>(processDownloadLimitKiB) * 1024, received);
  const std::vector<int64_t> up = TRateMeter::ShareOut(static_cast<int64_t>(processUploadLimitKiB) * 1024, sent);
  for (size_t i = 0; i < tasks.size(); ++i) {
    tasks[i]->pendingDownloadShare_ = down[i];
    tasks[i]->pendingUploadShare_ = up[i];
    tasks[i]->shareReceived_ = 0;
    tasks[i]->shareSent_ = 0;
    tasks[i]->sharesPending_.store(true, std::memory_order_release);
  }
}

void TWorkWithTransStatis::SetProcessLimits(int32_t downloadKiB, int32_t uploadKiB) {
  QScopedLock guard(ShareLock());
  processDownloadLimitKiB = downloadKiB;
  processUploadLimitKiB = uploadKiB;
}

uint64_t TWorkWithTransStatis::ProcessDownloaded() {
  QScopedLock guard(TaskRegistry::Lock());
  return processDownloaded;
}

uint64_t TWorkWithTransStatis::ProcessUploaded() {
  QScopedLock guard(TaskRegistry::Lock());
  return processUploaded;
}

}  // namespace bw
