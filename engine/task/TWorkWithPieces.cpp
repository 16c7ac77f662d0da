#include "engine/task/TWorkWithPieces.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "engine/frame/EngineClock.h"
#include "engine/frame/EngineLog.h"
#include "engine/common/Md5.h"
#include "engine/common/PlainFileName.h"
#include "engine/net/UdpServerService.h"
#include "engine/sources/SourceAddress.h"
#include "engine/sources/TBTPeer.h"
#include "engine/sources/TFtpPeer.h"
#include "engine/sources/THttpPeer.h"
#include "engine/sources/TPeerId.h"
#include "engine/sources/TPieceRange.h"
#include "engine/sources/TTrackerPeer.h"
#include "engine/sources/TUrlInfo.h"
#include "engine/storage/QElement.h"
#include "engine/storage/TWrittenLog.h"
#include "engine/task/EngineSettings.h"
#include "engine/task/SwarmListener.h"
#include "engine/task/TPieceScheduler.h"
#include "platform/Clock.h"
#include "platform/NetInterfaces.h"
#include "platform/Thread.h"
#include "reporting/ReportingApi.h"

namespace bw {

// The scheduler bound to this task: what the peers ask of their task goes to its layers.
class TWorkWithPieces::TaskScheduler final : public TPieceScheduler {
 public:
  explicit TaskScheduler(TWorkWithPieces& task) : task_(task) {}

  TPieces* Pieces() override { return task_.pieces.get(); }
  uint64_t Clock() override { return EngineClock(); }
  bool HasMetadata() override { return task_.metadataLoaded; }
  bool IsComplete() override {
    const TPieces* map = task_.pieces.get();
    return map && map->PieceCount() > 0 && map->DonePieces() >= map->PieceCount();
  }
  bool CanSchedule() override { return task_.metadataLoaded && task_.pieces && task_.pieces->IsReady(); }
  bool PeerConnectionsEnabled() override { return task_.PeerConnectionsEnabled(); }
  int32_t CurrentPosition() override { return task_.currentPosition_; }
  int32_t MaxConnections() override { return task_.ConnectionLimit(); }
  void AddDownloaded(int64_t bytes) override { task_.AddDownloaded(bytes); }
  void AddKindBytes(int32_t kind, int64_t bytes) override { task_.AddKindBytes(kind, bytes); }
  void PenalizeSource(TPeerId& id, int32_t seconds) override { task_.PenalizeSource(id, seconds); }
  void RequestCycleSoon() override { task_.RequestCycleSoon(); }
  std::vector<TRef<TPeerObject>>& ActivePeers() override { return task_.ActivePeers(); }
  const uint8_t* SwarmHandshake() override { return task_.SwarmHandshake(); }
  std::span<const uint8_t> PieceBitmap() override { return task_.PieceBitmap(); }
  void AddUploaded(int64_t bytes) override { task_.AddUploaded(bytes); }
  void SetPeerRates(int64_t down, int64_t up) override { task_.SetPeerRates(down, up); }
  int64_t DownloadBudget() override { return task_.PeerDownloadBudget(); }
  int64_t UploadBudget() override { return task_.PeerUploadBudget(); }
  int64_t AverageDownloadRate() override { return task_.working.averageDownloadRate; }
  int32_t UploadSlots() override { return task_.PeerUploadSlots(); }
  bool HttpDisguise() override { return ProcessSettings().btHttpDisguise.load(); }
  void RemoveSource(TPeerId& id) override { task_.RetireSource(id, EngineClock()); }
  TPeerId* IdentifyIncoming(uint32_t ip, int32_t port, const uint8_t* peerId) override {
    return task_.IdentifyIncoming(ip, port, peerId);
  }
  void AddSource(TPeerId& id) override { task_.TWorkWithPeers::AddSource(id); }
  void SetErrorCode(int32_t code) override { task_.SetErrorStatus(code); }
  void NoteLookupFailure() override { task_.SetHostUnresolved(); }
  void SetTaskState(int32_t state) override { task_.working.workState = state; }
  bool GetAnnounceFacts(TAnnounceFacts* facts) override { return task_.GetAnnounceFacts(facts); }
  void TrackerAnswered(int64_t interval, const std::string& report) override {
    task_.NoteTrackerAnswer(interval, report);
  }

 protected:
  std::vector<TPeerId*> UrlSources() override { return task_.UsableUrlSources(); }
  int32_t MaxUrlConnections() override { return task_.MaxSourceConnections(); }
  bool StopRequested() override { return task_.IsStopRequested(); }
  bool RandomStartEnabled() override { return task_.Settings().options1[0] != 0; }
  bool FastStart() override { return task_.Settings().QuickStart(); }

 private:
  TWorkWithPieces& task_;
};

struct TWorkWithPieces::ReadRequest {
  enum State { kPending, kServing, kDone, kFailed };
  int32_t file = 0;
  uint8_t* buffer = nullptr;
  int64_t offset = 0;
  int64_t length = 0;
  State state = kPending;
  int64_t result = -1;
  uint32_t queuedAt = 0;
};

TWorkWithPieces::TWorkWithPieces() : scheduler_(std::make_unique<TaskScheduler>(*this)) {}

TWorkWithPieces::~TWorkWithPieces() {
  // The piece map reports into this object while it closes its files.
  Stop();
  pieces.reset();
}

void TWorkWithPieces::Reset(int full, int flag) {
  {
    QScopedLock guard(lock);
    if (full) {
      if (pieces) pieces->Reset();  // closes the files and hands over the file selection first
      torrent.reset();
      pieces.reset();
      metadataLoaded = false;
      diskFull = false;
      bitmap_.clear();
      bitmapPieces_ = 0;
      swarmReady_ = false;
      scheduler_->Clear();
      currentPosition_ = -1;
    } else if (pieces) {
      pieces->CloseFiles(true, false);  // hands over a fresh resume record
    }
    reloadMetadata = false;
  }
  TWorkWithPeers::Reset(full, flag);
  // After the peers let go: the pieces they began are wanted by nobody once the task stops.
  scheduler_->ClearWanted();
}

int64_t TWorkWithPieces::Clock() { return static_cast<int64_t>(EngineClock()); }

void TWorkWithPieces::ReportEvent(const char* code, const std::string& text) {
  LogPrintf(23, 23, "Task Event %s : %s", code ? code : "", text.c_str());
  bw::ReportEvent(code, text.c_str(), 0);
}

TPieces& TWorkWithPieces::CreatePieceMap() {
  QScopedLock guard(lock);
  settings.Normalise();
  pieces = MakeRef<TPieces>(*this);
  pieces->SetSaveDirectory(saveFolder);
  if (fullPath) pieces->SetTargetPath(targetFile);
  pieces->SetPendingPath(pendingBlockPath);
  pieces->SetWrittenLogPath(infoPath.empty() ? std::string() : infoPath + TWrittenLog::kSuffix);
  pieces->SetQuickStart(settings.QuickStart());
  pieces->HashInBackground(true);
  pieces->WriteInBackground(true);
  return *pieces;
}

bool TWorkWithPieces::LoadMetadata() {
  // A torrent that arrives again (from a source) is laid over the former map, which hands over
  // what it already holds.
  TRef<TTorrent> former = std::move(torrent);
  TRef<TPieces> previous = std::move(pieces);
  TPieces& map = CreatePieceMap();
  RestoreInto(map);
  auto loading = MakeRef<TTorrent>(map, this);
  loading->SourceText = contentId;
  loading->TorrentBytes = InfoText("torrent");
  loading->SetPreviousPieces(previous.get());
  if (!loading->Load()) {
    QScopedLock guard(lock);
    pieces = std::move(previous);
    torrent = std::move(former);
    return false;
  }
  QScopedLock guard(lock);
  torrent = std::move(loading);
  RefreshCounters();
  return true;
}

void TWorkWithPieces::RestoreInto(TPieces& map) {
  map.SetUseResume(!infoPath.empty());
  map.SetSavedRecord(InfoText("bits"));
  map.SetSavedSelection(InfoText("part"));
}

bool TWorkWithPieces::BuildPieceMapFromSources() {
  if (metadataLoaded) return true;
  const TUrlInfo* answered = nullptr;
  for (TPeerId* id : UsableUrlSources()) {
    const TUrlInfo* url = id->UrlInfoIfAny();
    if (url && url->fileSize > 0) {
      answered = url;
      break;
    }
  }
  if (!answered) return false;
  static constexpr int64_t kSmallContent = int64_t{64} << 20;
  const int64_t size = answered->fileSize;
  const int64_t pieceLength = size < kSmallContent ? 256 * 1024 : 1024 * 1024;
  if (!fullPath) {
    // The name comes from the server or the address: only ever a plain name in the save folder.
    std::string name = PlainFileName(answered->fileName);
    if (name.empty()) name = "index.htm";
    QScopedLock guard(lock);
    targetFile = saveFolder + (saveFolder.empty() || saveFolder.back() == '/' ? "" : "/") + name;
  }
  TPieces& map = CreatePieceMap();
  RestoreInto(map);
  if (!fullPath) map.SetTargetPath(targetFile);
  if (!map.LoadTemplate(size, pieceLength)) {
    QScopedLock guard(lock);
    pieces.reset();
    return false;
  }
  metadataLoaded = true;
  {
    QScopedLock guard(lock);
    RefreshCounters();
  }
  RefreshReports(true);
  Publish(true, true);
  return true;
}

void TWorkWithPieces::FetchTorrentFromSources() {
  assert(OnOwnThread());
  static constexpr int32_t kFetchedBackOff = 60;
  std::vector<TRef<TPeerObject>>& peers = ActivePeers();
  for (size_t i = 0; i < peers.size();) {
    TPeerId* id = peers[i]->PeerId();
    const TUrlInfo* url = id ? id->UrlInfoIfAny() : nullptr;
    if (!url || !url->wholeBody || url->sourceClass != 1 || !url->downloadComplete) {
      ++i;
      continue;
    }
    TRef<TPeerObject> peer = std::move(peers[i]);
    peers.erase(peers.begin() + static_cast<std::ptrdiff_t>(i));
    AcceptTorrent(url->body);
    PenalizeSource(*id, kFetchedBackOff);
    KeepAsSpare(std::move(peer));
  }
}

void TWorkWithPieces::PruneCandidates() {
  TWorkWithPeers::PruneCandidates();
  // Once the metadata is in, the torrent file has nothing more to give.
  if (!metadataLoaded) return;
  std::vector<TPeerId*> fetched;
  for (const TRef<TPeerId>& id : candidates.Items()) {
    const TUrlInfo* url = id->UrlInfoIfAny();
    if (url && url->wholeBody && url->sourceClass == 1 && id->activeConnections == 0) fetched.push_back(id.get());
  }
  for (TPeerId* id : fetched) candidates.Remove(id);
}

TRef<TPeerObject> TWorkWithPieces::NewPeerObject(int32_t kind) {
  switch (kind) {
    case SOURCE_BTNODE:
      return MakeRef<TBTPeer>(&PeerTask());
    case SOURCE_HTTP:
      return MakeRef<THttpPeer>(&PeerTask());
    case SOURCE_FTP:
      return MakeRef<TFtpPeer>(&PeerTask());
    case SOURCE_TRACKER:
      return MakeRef<TTrackerPeer>(&PeerTask(), TTrackerPeer::kStarted);
    default:
      return {};
  }
}

bool TWorkWithPieces::SourceHasWork(TPeerId& id) {
  if (!metadataLoaded) return false;
  const std::vector<TPeerId*> usable = UsableUrlSources();
  for (const auto& range : scheduler_->Ranges()) {
    if (range->worker || range->exhausted || range->abandoned) continue;
    // The free ranges of a source that was retired, or that has all the connections it may
    // have, are left to whichever source has room for them.
    const TPeerId* owner = range->Owner();
    if (owner == &id || std::find(usable.begin(), usable.end(), owner) == usable.end() ||
        owner->activeConnections >= owner->allowance) {
      return true;
    }
  }
  return false;
}

bool TWorkWithPieces::SourceWorksInRanges(const TPeerId& id) {
  return metadataLoaded && pieces && pieces->IsReady() && ServesRanges(id);
}

bool TWorkWithPieces::ServesRanges(const TPeerId& id) {
  if ((id.kind != SOURCE_HTTP && id.kind != SOURCE_FTP) || !id.parsed || id.lookupFailed || id.retiredUntil) {
    return false;
  }
  const TUrlInfo* url = id.UrlInfoIfAny();
  return !url || !url->wholeBody;
}

std::vector<TPeerId*> TWorkWithPieces::UsableUrlSources() {
  std::vector<TPeerId*> usable;
  for (const TRef<TPeerId>& id : candidates.Items()) {
    if (ServesRanges(*id)) usable.push_back(id.get());
  }
  return usable;
}

void TWorkWithPieces::WatchForStall(uint64_t now) {
  const bool missing = metadataLoaded && pieces && pieces->IsReady() && pieces->DonePieces() < pieces->PieceCount();
  const bool stuck = missing && (!activePeers.empty() || CandidateCount() > 0);
  if (!stallWatch_.Due(now, working.downloadedBytes, stuck)) return;
  LogPrintf(23, 23, "%s: %s", targetFile.c_str(),
            DescribeStall(*pieces, *scheduler_, candidates.Items(), activePeers, now).c_str());
}

void TWorkWithPieces::MaintainPieceCache(CacheRound round) {
  if (!pieces || !pieces->IsReady()) return;
  switch (round) {
    case CacheRound::kTick:
      pieces->TakeVerdicts();
      // A verified piece goes to disk at once (its writes wait only for the disk's own pace),
      // so a kill costs no more than the pieces still arriving; it stays in memory as read cache.
      if (pieces->DirtyBytes() > 0) pieces->WriteVerified();
      if (pieces->CacheBytes() >= pieces->CacheLimit()) pieces->MaintainCache();
      memoryAfterRound_ = pieces->CacheBytes();
      break;
    case CacheRound::kRegular:
      pieces->MaintainCache();
      pieces->LimitOpenFiles();
      break;
  }
}

bool TWorkWithPieces::PieceMemoryPressed() const {
  if (!pieces || !pieces->IsReady()) return false;
  const int64_t held = pieces->CacheBytes();
  return held > pieces->CacheLimit() + TPieces::kArrivingMemory && held >= memoryAfterRound_ + kPieceMemoryStep;
}

void TWorkWithPieces::SetErrorStatus(int32_t code) {
  {
    QScopedLock guard(lock);
    working.status = code;
  }
  Publish(false, true);
}

void TWorkWithPieces::StopWithError(int32_t error) {
  working.status = error;
  RequestStop();
}

void TWorkWithPieces::RefreshCounters() {
  working.totalBytes = static_cast<uint64_t>(std::max<int64_t>(pieces->TotalLength(), 0));
  working.doneBytes = static_cast<uint64_t>(std::max<int64_t>(pieces->BytesComplete(), 0));
  working.wantedBytes = static_cast<uint64_t>(std::max<int64_t>(pieces->BytesWanted(), 0));
  working.receivedBytes = static_cast<uint64_t>(std::max<int64_t>(pieces->BytesChecked(), 0));
  working.pieceCount = static_cast<int32_t>(pieces->PieceCount());
  working.verifiedPieces = pieces->DonePieces();
}

void TWorkWithPieces::SyncFromPieces() {
  if (!pieces) return;
  const uint64_t before = working.doneBytes;
  RefreshCounters();
  if (working.doneBytes != before) Publish(false, false);
}

void TWorkWithPieces::RequestStop() {
  uint32_t id = 0;
  SignalStop(&id);
}

void TWorkWithPieces::OnPiecesEvent(const TPiecesEvent& event) {
  if (!pieces) return;
  switch (event.type) {
    case TPiecesEvent::kPieceState: {
      int32_t index = -1;
      if (event.size != 4 || !event.data) break;
      std::memcpy(&index, event.data, 4);
      if (index < 0) break;
      {
        QScopedLock guard(lock);
        const size_t byte = static_cast<size_t>(index) / 8;
        if (byte < bitmap_.size() && pieces->IsPieceComplete(index)) {
          bitmap_[byte] = static_cast<char>(bitmap_[byte] | (0x80 >> (index % 8)));
        }
        bitmapChanged = true;
      }
      working.verifiedPieces = pieces->DonePieces();
      working.doneBytes = static_cast<uint64_t>(std::max<int64_t>(pieces->BytesComplete(), 0));
      if (pieces->IsPieceComplete(index)) {
        OnPieceCompleted(index);
      } else if (event.value == 0 && pieces->IsReady()) {
        scheduler_->OnPieceWantedAgain(index);  // its write was lost
      }
      break;
    }
    case TPiecesEvent::kPieceFailed: {
      int32_t index = -1;
      if (event.size != 4 || !event.data) break;
      std::memcpy(&index, event.data, 4);
      if (index >= 0) scheduler_->OnPieceWantedAgain(index);
      break;
    }
    case TPiecesEvent::kWholeBitfield:
      if (event.size != 0 || event.data) break;
      {
        QScopedLock guard(lock);
        bitmap_ = pieces->Bitfield();
        bitmapPieces_ = static_cast<int32_t>(pieces->PieceCount());
        bitmapChanged = true;
      }
      RefreshCounters();
      break;
    case TPiecesEvent::kCheck:
      if (event.size == 0 && !event.data) Publish(event.value != 0, true);
      break;
    case TPiecesEvent::kPiecesBuilt: {
      int32_t count = 0;
      if (event.size != 4) break;
      count = event.value;
      if (event.data) std::memcpy(&count, event.data, 4);
      if (count <= 0) break;
      QScopedLock guard(lock);
      bitmap_.assign((static_cast<size_t>(count) + 7) / 8, '\0');
      bitmapPieces_ = count;
      const std::vector<TPieceFile>& files = pieces->Files();
      working.name = files.size() == 1 ? files.front().RelativePath : targetFile;
      break;
    }
    case TPiecesEvent::kFileSelection:
    case TPiecesEvent::kResumeRecord: {
      const int which = event.type == TPiecesEvent::kFileSelection ? kPart : kBits;
      const auto* bytes = static_cast<const char*>(event.data);
      StoreInfoText(which, bytes && event.size > 0 ? std::string(bytes, static_cast<size_t>(event.size)) : std::string());
      break;
    }
    case TPiecesEvent::kWaitingForDisk:
      working.status = kTaskStatusDiskFull;
      diskFull = true;
      RequestStop();
      break;
    case TPiecesEvent::kDiskAvailable:
      diskFull = false;
      break;
    case TPiecesEvent::kFileFailed:
      working.status = kTaskStatusWriteFailed;
      diskFull = true;
      RequestStop();
      break;
    default:
      break;
  }
}

IPeerTask& TWorkWithPieces::PeerTask() { return *scheduler_; }

TPieceScheduler& TWorkWithPieces::PieceScheduler() { return *scheduler_; }

void TWorkWithPieces::OnPieceCompleted(int32_t piece) { scheduler_->OnPieceCompleted(piece); }

void TWorkWithPieces::PruneWanted() {
  scheduler_->PruneWanted();
  if (scheduler_->IsComplete()) {
    std::vector<TBlockRequest>().swap(scheduler_->EndGameList());
  }
}

bool TWorkWithPieces::AcceptTorrent(const std::string& bytes) {
  if (!ParseElement(bytes.data(), static_cast<int64_t>(bytes.size()))) return false;
  if (!InfoText("torrent").empty()) return false;
  StoreInfoText(kTorrent, bytes);
  reloadMetadata = true;
  working.workState = kWorkRunning;
  return true;
}

void TWorkWithPieces::ReloadMetadata() {
  reloadMetadata = false;
  const int64_t pieceLength = pieces ? pieces->PieceLength() : 0;
  metadataLoaded = LoadMetadata();
  if (pieces && pieceLength > 0 && pieces->PieceLength() != pieceLength) scheduler_->Resplit();
  SyncFromPieces();
  RefreshReports(true);
  Publish(true, true);
}

int64_t TWorkWithPieces::ReadRange(int32_t file, uint8_t* buffer, int64_t offset, int64_t length) {
  static constexpr uint32_t kServeTimeoutMs = 3000;
  ReadRequest request;
  request.file = file;
  request.buffer = buffer;
  request.offset = offset;
  request.length = length;
  request.queuedAt = platform::TickCountMs();
  {
    QScopedLock guard(readLock_);
    reads_.push_back(&request);
  }
  loopRest.Wake();
  for (;;) {
    platform::SleepMs(10);
    const bool stopping = IsStopRequested();  // may wait out a pause: not under the queue lock
    QScopedLock guard(readLock_);
    int64_t result = 0;
    if (request.state == ReadRequest::kDone) {
      result = request.result;
    } else if (request.state == ReadRequest::kFailed) {
      result = request.result == -3 ? -3 : -6;
    } else if (stopping) {
      result = -5;
    } else if (platform::TickCountMs() - request.queuedAt > kServeTimeoutMs) {
      result = -7;
    } else {
      continue;
    }
    std::erase(reads_, &request);
    return result;
  }
}

void TWorkWithPieces::ServeReadRequests() {
  QScopedLock guard(readLock_);
  for (ReadRequest* request : reads_) {
    if (request->state == ReadRequest::kDone || request->state == ReadRequest::kFailed) continue;
    request->state = ReadRequest::kServing;
    ServeRead(*request);
  }
}

void TWorkWithPieces::ServeRead(ReadRequest& request) {
  request.state = ReadRequest::kFailed;
  request.result = -3;
  if (!pieces || pieces->PieceLength() <= 0) return;
  const std::vector<TPieceFile>& files = pieces->Files();
  if (request.file < 0 || static_cast<size_t>(request.file) >= files.size() || !request.buffer) return;
  const TPieceFile& file = files[static_cast<size_t>(request.file)];
  if (request.offset < 0 || request.length <= 0 || request.offset > file.Length - request.length) return;
  // Pieces are counted from the start of the content: a file need not begin on a piece boundary.
  const int64_t pieceLength = pieces->PieceLength();
  const int64_t start = file.Offset + request.offset;
  const int64_t firstPiece = start / pieceLength;
  const int64_t lastPiece = (start + request.length - 1) / pieceLength;
  currentPosition_ = static_cast<int32_t>(firstPiece);
  for (int64_t piece = firstPiece; piece <= lastPiece; ++piece) {
    if (!pieces->IsPieceComplete(piece)) return;
  }
  int64_t done = 0;
  while (done < request.length) {
    const int64_t at = start + done;
    const int64_t got = pieces->ReadPieceData(at / pieceLength, request.buffer + done, request.length - done,
                                              at % pieceLength, 0, false);
    if (got <= 0) break;
    done += got;
  }
  if (done == 0) {
    request.result = -6;
    return;
  }
  request.state = ReadRequest::kDone;
  request.result = done;
}

void TWorkWithPieces::PrepareSwarmIdentity() {
  if (swarmReady_ || !metadataLoaded || !pieces || !pieces->HasInfoHash()) return;
  static constexpr char kProtocol[] = "BitTorrent protocol";
  uint8_t* at = handshake_;
  *at++ = 19;
  std::memcpy(at, kProtocol, 19);
  at += 19;
  std::memset(at, 0, 8);
  at += 8;
  std::memcpy(at, pieces->InfoHash(), 20);
  at += 20;
  static constexpr uint8_t kPeerIdPrefix[4] = {0x00, 0x01, 'B', 'w'};
  std::memcpy(at, kPeerIdPrefix, 4);
  const std::vector<uint32_t> local = platform::LocalIPv4Addresses();
  const std::string seed = AnnounceAddress() + std::to_string(platform::CurrentThreadId()) +
                           std::to_string(reinterpret_cast<uintptr_t>(this)) + std::to_string(platform::TickCountMs()) +
                           std::to_string(local.empty() ? 0u : local.front());
  Md5::Hash(seed.data(), seed.size(), at + 4);
  // Another engine reads the tag it reaches this one by over UDP from here.
  if (const QUInternalServer* udp = RunningUdpServer()) std::memcpy(at + 8, udp->Identity().data(), kUdpIdentitySize);
  swarmReady_ = true;
  JoinSwarm();
}

bool TWorkWithPieces::GetAnnounceFacts(TAnnounceFacts* facts) {
  PrepareSwarmIdentity();
  if (!swarmReady_) return false;
  std::memcpy(facts->infoHash, handshake_ + 28, 20);
  std::memcpy(facts->peerId, handshake_ + 48, 20);
  // 0 lets the tracker take the address the announce comes from, the one peers can reach.
  facts->localIp = 0;
  // The port actually listened on: another instance may have held the wanted one.
  const int listening = SwarmListener::Process().Port();
  const int port = ProcessSettings().listenPort.load();
  facts->listenPort = listening > 0 ? listening : port > 0 ? port : kDefaultListenPort;
  facts->uploaded = working.uploadedBytes;
  facts->downloaded = working.downloadedBytes;
  facts->left = working.totalBytes > working.doneBytes ? working.totalBytes - working.doneBytes : 0;
  return true;
}

void TWorkWithPieces::RefreshReports(bool force) {
  TWorkWithPeers::RefreshReports(force);
  // Readers copy the bitmap under the task lock; it is replaced under it too.
  QScopedLock guard(lock);
  if (pieces && (bitmapChanged || force)) {
    bitmap_ = pieces->Bitfield();
    bitmapPieces_ = static_cast<int32_t>(pieces->PieceCount());
  }
  bitmapChanged = false;
}

std::span<const uint8_t> TWorkWithPieces::PieceBitmap() {
  return {reinterpret_cast<const uint8_t*>(bitmap_.data()), bitmap_.size()};
}

int TWorkWithPieces::PieceCount() { return bitmapPieces_; }

int TWorkWithPieces::GetFileCount() {
  QScopedLock guard(lock);
  return pieces ? static_cast<int>(pieces->Files().size()) : 0;
}

int64_t TWorkWithPieces::GetFileSize(int index) {
  QScopedLock guard(lock);
  if (!pieces || index < 0 || static_cast<size_t>(index) >= pieces->Files().size()) return -1;
  return pieces->Files()[static_cast<size_t>(index)].Length;
}

int TWorkWithPieces::GetFileText(int index, int kind, char out[kTextSize]) {
  QScopedLock guard(lock);
  if (!out || !pieces || index < 0 || static_cast<size_t>(index) >= pieces->Files().size()) return -1;
  const TPieceFile& file = pieces->Files()[static_cast<size_t>(index)];
  const std::string* text = nullptr;
  switch (kind) {
    case 1: text = &file.RelativePath; break;
    case 2: text = &file.Path; break;  // where its data lies now
    case 3: text = file.UsesTempName ? &file.FinalPath : &file.Path; break;
    default: return -1;
  }
  const size_t n = std::min(text->size(), static_cast<size_t>(kTextSize - 1));
  std::memcpy(out, text->data(), n);
  out[n] = '\0';
  return 0;
}

}  // namespace bw
