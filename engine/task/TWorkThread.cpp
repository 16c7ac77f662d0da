#include "engine/task/TWorkThread.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <exception>
#include <string>

#include "engine/common/QBufferPool.h"
#include "engine/frame/EngineClock.h"
#include "engine/frame/EngineLog.h"
#include "engine/net/NetworkLock.h"
#include "engine/net/QSocket.h"
#include "engine/sources/SourceAddress.h"
#include "engine/storage/DataFileSize.h"
#include "engine/storage/QDiskFile.h"
#include "engine/storage/TWrittenLog.h"
#include "engine/task/TaskRegistry.h"
#include "platform/File.h"
#include "platform/Thread.h"

namespace bw {
namespace {

constexpr int kTaskChannel = 23;
constexpr uint64_t kNoProgressSeconds = 15;
// Periods of the download loop, in engine seconds: each runs once more than this has passed.
constexpr uint64_t kHandOutAfter = 14;     // source lines to the pool (every 15 s)
constexpr uint64_t kUpkeepAfter = 7;       // buffer pools (every 8 s; the wanted list every fourth)
constexpr uint64_t kMaintenanceAfter = 9;  // peer upkeep (every 10 s)
constexpr uint64_t kSaveAfter = 19;        // resume record and info file (every 20 s)

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  const size_t n = std::strlen(prefix);
  if (text.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    const auto a = static_cast<unsigned char>(text[i]);
    const auto b = static_cast<unsigned char>(prefix[i]);
    if ((a >= 'A' && a <= 'Z' ? a + 32 : a) != (b >= 'A' && b <= 'Z' ? b + 32 : b)) return false;
  }
  return true;
}

// What was thrown, for the log; called inside a catch block.
std::string CaughtText() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "an exception of unknown type";
  }
}

// Gives a thread's hold on a recursive lock back completely.
void ReleaseFully(QTMutex& mutex) {
  while (mutex.Unlock()) platform::SleepMs(20);
}

}  // namespace

TWorkThread::TWorkThread() { Reset(0, 0); }

TWorkThread::~TWorkThread() {
  Stop();
  Reset(1, 1);
  QScopedLock guard(lock);
  sources.clear();
  usedSources.clear();
  mirrors.clear();
  mirrorHosts.clear();
}

int TWorkThread::StartThread(const char* threadName) {
  return Start(threadName) ? kEngineOk : kEngineOperationFailed;
}

int TWorkThread::StartDownload() { return StartThread("StartDownload"); }

int TWorkThread::ContinueDownload() {
  LoadInfoFile();
  return StartThread("ContinueDownload");
}

int TWorkThread::ResumeDownload() { return StartDownload(); }

int TWorkThread::StopDownload() {
  loopRest.Wake();
  return Stop() ? kEngineOk : kEngineOperationFailed;
}

int TWorkThread::RequestPause() {
  if (!IsRunning()) return kEngineOperationFailed;
  SetPause(true);
  return kEngineOk;
}

int TWorkThread::RestartDownload() {
  LogWrite("Download Restarted..", kTaskChannel, kTaskChannel);
  if (StopDownload() != kEngineOk) return kEngineOperationFailed;
  char path[kTextSize] = {};
  if (GetFileText(0, 3, path) == 0 && path[0]) {
    const std::string file(path);
    for (const std::string& name : {file, file + ".bwtmp", file + kInfoSuffix, file + kInfoSuffix + "df",
                                    file + kInfoSuffix + TWrittenLog::kSuffix}) {
      platform::RemoveFile(name);
    }
  }
  DeleteInfoFile();
  {
    QScopedLock guard(lock);
    working.Reset();
    published.Reset();
  }
  Reset(1, 1);
  return ResumeDownload();
}

void TWorkThread::Reset(int full, int flag) {
  startClock_ = lastHandOut_ = lastUpkeep_ = lastMaintenance_ = lastSave_ = lastInfoSave_ = 0;
  upkeepCount_ = 0;
  if (full) {
    completed_ = false;
    sizeOnDisk_ = 0;
  }
  TWorkWithTransStatis::Reset(full, flag);
}

void TWorkThread::Run() {
  try {
    DownloadLoop();
  } catch (...) {
    LogPrintf(kTaskChannel, kTaskChannel, "TID : %5lu] [Download loop ended by %s",
              static_cast<unsigned long>(platform::CurrentThreadId()), CaughtText().c_str());
    ReleaseHeldLocks();
  }
}

void TWorkThread::ReleaseHeldLocks() {
  // Only a hold of the calling thread is given back; Unlock refuses a lock it does not own.
  ReleaseFully(lock);
  ReleaseFully(TaskRegistry::Lock());
  ReleaseFully(NetworkLock());
  ReleaseFully(QDiskFile::DiskLock());
}

void TWorkThread::DownloadLoop() {
  if (!Prepare()) return;
  Finish(Loop());
}

bool TWorkThread::Prepare() {
  LoadInfoFile();
  RefreshSizeOnDisk();
  std::string id;
  bool p2pOrBt = false;
  bool hasSourceLine = false;
  {
    QScopedLock guard(lock);
    id = contentId;
    p2pOrBt = p2sp || bt;
    hasSourceLine = std::any_of(sources.begin(), sources.end(), [](const TaskSource& s) { return !s.text.empty(); });
  }
  if (p2pOrBt && !id.empty()) {
    working.workState = kWorkStopped;
    bool unreadable = false;
    if (StartsWithNoCase(id, "file://")) {
      std::string bytes;
      const std::string path = id.substr(7);
      // The named file is read whole: a torrent never comes near this size.
      const int64_t size = platform::PathFileSize(path);
      if (size > 0 && size <= TTorrent::kMaxTorrentFile && platform::ReadWholeFile(path, &bytes) && !bytes.empty()) {
        StoreInfoText(kTorrent, std::move(bytes));
      } else {
        unreadable = true;
      }
    }
    if (!unreadable && !InfoText("torrent").empty()) {
      metadataLoaded = LoadMetadata();
      unreadable = !metadataLoaded;
    }
    if (unreadable) {
      // A full disk or a broken file met while the piece map was built has said so already.
      if (!diskFull) working.status = kTaskStatusTorrentUnreadable;
      RequestStop();
    }
    if (Settings().QuickStart() && metadataLoaded) {
      SyncFromPieces();
      return false;
    }
    working.workState = kWorkRunning;
  }
  if (!p2pOrBt || metadataLoaded || hasSourceLine) return true;
  // Nothing to loop on: the status the preparation set must still reach the reader.
  working.workState = kWorkStopped;
  Publish(true, true);
  return false;
}

TWorkThread::Outcome TWorkThread::Loop() {
  working.workState = kWorkRunning;
  startClock_ = EngineClock();
  lastSave_ = startClock_;
  const bool p2pOrBt = p2sp || bt;
  const TTaskSettings limits = Settings();
  CopyIPFilter();
  // The sources are in the pool before the first tick's connection pass, and the swarm identity
  // too: without it that pass dials no BitTorrent peer, and the next comes a second later.
  PrepareSwarmIdentity();
  HandOutSources();
  PruneCandidates();
  lastHandOut_ = startClock_;
  while (!IsStopRequested()) {
    if (IsContentComplete(EngineClock())) {
      LogPrintf(kTaskChannel, kTaskChannel, "TID : %5lu] [%s is Download Complete",
                static_cast<unsigned long>(platform::CurrentThreadId()), targetFile.c_str());
      break;
    }
    const uint64_t now = Tick();
    // Two file opens for a figure read at most once a second: not on every step of the loop.
    if (now != lastSizeRefresh_) {
      lastSizeRefresh_ = now;
      RefreshSizeOnDisk();
      WatchForStall(now);
    }
    const uint64_t ran = now - startClock_;
    FetchTorrentFromSources();
    if (!p2pOrBt && !metadataLoaded) BuildPieceMapFromSources();
    if (now - lastHandOut_ > kHandOutAfter) {
      HandOutSources();
      PruneCandidates();
      lastHandOut_ = now;
    }
    if (working.totalBytes == 0 && ran > static_cast<uint64_t>(std::max(limits.metadataTimeout, 0))) {
      return Outcome::kMetadataTimeout;
    }
    if (SmoothedRate() == 0 && ran > kNoProgressSeconds && (!p2pOrBt || !metadataLoaded) && CandidateCount() == 0) {
      ReturnSourcesToIdle();
      return Outcome::kNoSources;
    }
    if (now - lastUpkeep_ > kUpkeepAfter) {
      KeepBufferPoolsSmall();
      if (++upkeepCount_ % 4 == 0) {
        TPieces::StatePool().Trim(256 * 1024);
        PruneWanted();
        bitmapChanged = true;
      }
      lastUpkeep_ = now;
    }
    if (reloadMetadata) ReloadMetadata();
    if (now - lastMaintenance_ > kMaintenanceAfter) {
      // The swarm needs the info hash: it is joined once the metadata is there.
      PrepareSwarmIdentity();
      MaintainPeers();
      DiscoverLanPeers();
      lastMaintenance_ = now;
    }
    if (now - lastSave_ > kSaveAfter) {
      if (pieces) {
        // What is verified goes to disk before the record that counts it; the blocks of pieces
        // still arriving are kept beside it.
        pieces->FlushPieces();
        pieces->RefreshResumeRecord();
        pieces->SavePendingBlocks();
      }
      lastSave_ = now;
    }
    // Written within a second of a change: the torrent and first record at once, a fresh record
    // as soon as a file was allocated (the one before no longer fits it).
    if (now != lastInfoSave_) {
      SaveInfoFile();
      lastInfoSave_ = now;
    }
  }
  return Outcome::kNone;
}

void TWorkThread::Finish(Outcome outcome) {
  if (!completed_) IsContentComplete(EngineClock());
  ReturnSourcesToIdle();
  Reset(0, 0);
  if (pieces) pieces->SavePendingBlocks();
  if (completed_) {
    DeleteInfoFile();
  } else {
    SaveInfoFile();
  }
  {
    QScopedLock guard(lock);
    working.workState = kWorkStopped;
    if (!completed_ && outcome == Outcome::kNoSources) working.status = kTaskStatusNoSources;
    if (!completed_ && outcome == Outcome::kMetadataTimeout) working.status = kTaskStatusMetadataTimeout;
  }
  // Forced: the final status must not be lost to a reader holding the lock at this moment.
  Publish(true, true);
  Reset(0, 0);
  KeepBufferPoolsSmall();
  TPieces::StatePool().Trim(10 * 1024);
  TPieces::PiecePool().Trim(2 * 1024 * 1024);
}

bool TWorkThread::IsContentComplete(uint64_t now) {
  const bool complete = pieces && pieces->PieceCount() > 0 && pieces->DonePieces() >= pieces->PieceCount();
  if (!complete) {
    working.completedAt = 0;
    return false;
  }
  if (working.completedAt == 0) {
    working.completedAt = now;
    if (working.workState != kWorkPreparingPieces) {
      pieces->CloseFiles(true, true);
      completed_ = pieces->IsComplete();
    }
    // A caller waiting for completion learns of it now, not at the next second.
    SyncFromPieces();
    Publish(true, true);
  }
  const TTaskSettings limits = Settings();
  if (!(p2sp || bt) && working.keepRunning == 0 && working.doneBytes >= working.wantedBytes) return true;
  if (limits.seedHours > 0 && now - working.completedAt >= static_cast<uint64_t>(limits.seedHours) * 3600) {
    working.keepRunning = 0;
    return true;
  }
  return false;
}

uint64_t TWorkThread::Tick() {
  assert(OnOwnThread());
  // With no connection open nothing can arrive: the loop sleeps until its next timer is due.
  if (const uint32_t rest = QuietMs()) {
    loopRest.Rest(rest, [this] { return !IsStopRequested(); });
  } else {
    // The pause bounds the wait: traffic on the connections the next step serves ends it early.
    const int32_t pause = TickPauseMs();
    WatchTraffic(traffic_);
    traffic_.Wait(loopRest, pause <= 0 ? 6 : static_cast<uint32_t>(std::max(pause, 1)));
  }
  const uint64_t now = EngineClock();
  StatisticsTick(now);
  ServeReadRequests();
  return now;
}

void TWorkThread::RefreshSizeOnDisk() {
  if (targetFile.empty()) return;
  const int64_t bytes = DataFileSizeOnDisk(targetFile.c_str());
  if (bytes > 0) sizeOnDisk_ = static_cast<uint64_t>(bytes);
}

void TWorkThread::KeepBufferPoolsSmall() {
  QBufferPool& pool = QSocket::BufferPool();
  const int64_t used = pool.UsedBytes() / 1024;
  const int64_t held = (pool.UsedBytes() + pool.FreeBytes()) / 1024;
  if (held - used > 1024 && used * 100 / held < 35) pool.Trim(used * 1024 / 5);
}

}  // namespace bw
