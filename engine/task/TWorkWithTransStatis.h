#pragma once
#include <cstdint>

#include "engine/task/TWorkWithPieces.h"

namespace bw {

// The task's transfer counters and rates.
class TWorkWithTransStatis : public TWorkWithPieces {
 public:
  void Reset(int full, int flag) override;

  // Bytes received from HTTP sources and from BitTorrent peers; added by the peer objects.
  uint64_t httpBytes = 0;
  uint64_t p2pBytes = 0;

 protected:
  // The once-a-second statistics step: measures the rates and publishes the status block.
  virtual void StatisticsTick(uint64_t now);
  // The smoothed download rate in bytes per second.
  virtual int32_t SmoothedRate() const { return working.smoothedRate; }
  // Milliseconds the loop pauses per step; 0 when no limit asks for a pause.
  virtual int32_t TickPauseMs() const { return tickPauseMs; }

  int32_t tickPauseMs = 0;

 private:
  uint64_t lastStatistics_ = 0;
};

}  // namespace bw
