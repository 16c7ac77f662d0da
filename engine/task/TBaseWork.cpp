#include "engine/task/TBaseWork.h"

#include "engine/frame/EngineClock.h"
#include "engine/net/ConnectionLimits.h"
#include "engine/net/NetClock.h"
#include "engine/net/UdpServerService.h"
#include "engine/storage/TTaskInfoFile.h"
#include "engine/task/EngineIdentity.h"
#include "engine/task/LanDiscovery.h"
#include "engine/task/SwarmListener.h"
#include "engine/task/TaskRegistry.h"
#include "platform/File.h"

namespace bw {
namespace {

uint64_t SocketClock() { return EngineClock(); }

// The services every task relies on, started by the first task to register.
void StartTaskServices() {
  TimeEnsure();
  SetNetClock(&SocketClock);
  EngineIdentifier();
  SwarmListener::Process().Resume();
  LanDiscovery::Process().Resume();
  SetHalfOpenLimit(HalfOpenLimitFrom(QueryHalfOpenLimit()));
  if (QUInternalServer* udp = RunningUdpServer()) udp->SetTransportDisabled(SwarmListener::Process().Reachable());
}

// With no task left nothing may come in or go out over the UDP stream transport.
void StopTaskServices() {
  if (QUInternalServer* udp = RunningUdpServer()) {
    udp->DropConnections();
    udp->SetTransportDisabled(true);
  }
}

}  // namespace

TBaseWork::TBaseWork() {
  QScopedLock guard(TaskRegistry::Lock());
  const bool first = TaskRegistry::IsEmpty();
  workRegistered = TaskRegistry::Add(this);
  if (first) StartTaskServices();
}

TBaseWork::~TBaseWork() {
  Stop();
  QScopedLock guard(TaskRegistry::Lock());
  TaskRegistry::Remove(this);
  if (TaskRegistry::IsEmpty()) StopTaskServices();
}

void TBaseWork::ReturnSourcesToIdle() {
  QScopedLock guard(lock);
  for (TaskSource& source : sources) {
    if (source.mark == kSourceHandedOut) source.mark = kSourceIdle;
    // Once the torrent bytes are here the torrent line is not needed again.
    if (source.mark == kSourceTorrentHandedOut && infoTexts[kTorrent].empty()) source.mark = kSourceTorrent;
  }
}

void TBaseWork::Reset(int full, int flag) {
  QScopedLock guard(lock);
  if (flag) working.Reset();
  if (full) {
    usedSources.clear();
    for (int i = 0; i < kInfoTexts; ++i) {
      if (i != kTorrent) infoTexts[i].clear();
      infoDirty[i] = false;
    }
  }
}

int TBaseWork::SetSpeedLimit(int direction, int kBps) {
  if (direction != 0 && direction != 1) return kEngineInvalidArgument;
  QScopedLock guard(lock);
  (direction == 1 ? settings.downloadLimitKiB : settings.uploadLimitKiB) = kBps;
  settings.Normalise();
  limitsChanged = true;
  loopRest.Wake();
  return kEngineOk;
}

void TBaseWork::Publish(bool full, bool force) {
  if (force) {
    if (!lock.Lock() && !lock.TryLock()) return;
  } else if (!lock.TryLock()) {
    return;
  }
  if (full) RefreshReports(force);
  published = working;
  lock.Unlock();
}

void TBaseWork::RefreshReports(bool) {}

void TBaseWork::ReadPublished(TaskStatusView& view) {
  view.name = published.name;
  view.status = published.status;
  view.totalBytes = published.totalBytes;
  view.doneBytes = published.doneBytes;
  view.httpBytes = published.httpBytes;
  view.p2pBytes = published.p2pBytes;
  view.speed = published.smoothedRate;
  view.remaining = published.remainingSeconds;
}

void TBaseWork::StoreInfoText(int which, std::string bytes) {
  QScopedLock guard(lock);
  infoTexts[which] = std::move(bytes);
  infoDirty[which] = true;
}

bool TBaseWork::LoadInfoFile() {
  std::string path;
  {
    QScopedLock guard(lock);
    path = infoPath;
  }
  if (path.empty()) return false;
  TTaskInfoFile file;
  if (!file.Load(path)) return false;
  const std::string* values[kInfoTexts] = {&file.bits, &file.part, &file.seeds, &file.torrent};
  QScopedLock guard(lock);
  for (int i = 0; i < kInfoTexts; ++i) {
    if (!values[i]->empty()) infoTexts[i] = *values[i];
    infoDirty[i] = false;
  }
  return true;
}

bool TBaseWork::SaveInfoFile() {
  QScopedLock guard(lock);
  if (infoPath.empty()) return false;
  if (!infoDirty[kBits] && !infoDirty[kPart] && !infoDirty[kSeeds] && !infoDirty[kTorrent]) return true;
  TTaskInfoFile file;
  file.bits = infoTexts[kBits];
  file.part = infoTexts[kPart];
  file.seeds = infoTexts[kSeeds];
  file.torrent = infoTexts[kTorrent];
  if (!file.Save(infoPath)) return false;
  for (bool& dirty : infoDirty) dirty = false;
  return true;
}

bool TBaseWork::DeleteInfoFile() {
  QScopedLock guard(lock);
  return !infoPath.empty() && platform::RemoveFile(infoPath) == 0;
}

TTaskSettings TBaseWork::Settings() {
  QScopedLock guard(lock);
  return settings;
}

void TBaseWork::SetSettings(const TTaskSettings& value) {
  QScopedLock guard(lock);
  settings = value;
  settings.Normalise();
}

std::vector<TaskSource> TBaseWork::Sources() {
  QScopedLock guard(lock);
  return sources;
}

TTaskStatus TBaseWork::Published() {
  QScopedLock guard(lock);
  return published;
}

std::string TBaseWork::InfoText(const char* key) {
  QScopedLock guard(lock);
  for (int i = 0; i < kInfoTexts; ++i) {
    if (std::string_view(key) == kInfoKeys[i]) return infoTexts[i];
  }
  return {};
}

}  // namespace bw
