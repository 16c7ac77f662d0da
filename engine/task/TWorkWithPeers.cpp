#include "engine/task/TWorkWithPeers.h"

namespace bw {

void TWorkWithPeers::Reset(int full, int flag) { TBaseWork::Reset(full, flag); }

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

void TWorkWithPeers::HandOutSources() {
  QScopedLock guard(lock);
  if (usedSources.empty()) usedSources = sources;
  for (TaskSource& source : sources) {
    if (source.text.empty()) continue;
    if (source.mark == kSourceIdle) source.mark = kSourceHandedOut;
    if (source.mark == kSourceTorrent) source.mark = kSourceTorrentHandedOut;
  }
}

}  // namespace bw
