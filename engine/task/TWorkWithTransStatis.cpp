#include "engine/task/TWorkWithTransStatis.h"

namespace bw {

void TWorkWithTransStatis::Reset(int full, int flag) {
  lastStatistics_ = 0;
  if (full) {
    httpBytes = 0;
    p2pBytes = 0;
  }
  TWorkWithPieces::Reset(full, flag);
}

void TWorkWithTransStatis::StatisticsTick(uint64_t now) {
  if (now == lastStatistics_) return;
  lastStatistics_ = now;
  SyncFromPieces();
  working.httpBytes = httpBytes;
  working.p2pBytes = p2pBytes;
  Publish(true, false);
}

}  // namespace bw
