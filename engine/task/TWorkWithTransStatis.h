#pragma once
#include <atomic>
#include <cstdint>

#include "engine/frame/QTMutex.h"
#include "engine/task/TRateMeter.h"
#include "engine/task/TrafficWatch.h"
#include "engine/task/TWorkWithPieces.h"

namespace bw {

// The task's transfer counters and rates, its speed limits and the pacing of its peers.
class TWorkWithTransStatis : public TWorkWithPieces {
 public:
  void Reset(int full, int flag) override;

  // Counted by the peer objects on the task thread: payload bytes delivered, bytes a source of
  // the given kind got into the piece map, bytes uploaded.
  void AddDownloaded(int64_t bytes) override;
  void AddKindBytes(int32_t kind, int64_t bytes) override;
  void AddUploaded(int64_t bytes) override;

  // What the peers may still move in this second.
  int64_t DownloadBudgetLeft() const;
  int64_t UploadBudgetLeft() const;
  bool HasUploadLimit() const { return uploadBudget_ < TRateMeter::kUnlimited; }
  int64_t DownloadBudget() const { return downloadBudget_; }
  int64_t UploadBudget() const { return uploadBudget_; }
  int32_t UploadSlots() const { return uploadSlots_; }

  // Summed window download rates of the active peers whose kind is in kindMask.
  int64_t SumPeerRates(int32_t kindMask);
  // What the peer now stepping may still take: its share of what was left of the second.
  int64_t PeerDownloadBudget() override;
  int64_t PeerUploadBudget() override { return UploadBudgetLeft(); }
  int32_t PeerUploadSlots() override { return uploadSlots_; }
  void RequestCycleSoon() override { cycleSoon_ = true; }
  // The per-kind byte totals go along with the piece map's counters.
  void SyncFromPieces() override;
  // Takes over the shares of the last ShareLimits run.
  void ApplyPendingLimits();
  // Spreads the process-wide limits over the tasks of the swarm list by what each used lately.
  void ShareLimits();

  // Process-wide limits in KiB/s, 0 or less: unlimited.
  static void SetProcessLimits(int32_t downloadKiB, int32_t uploadKiB);
  // Bytes downloaded and uploaded by all tasks.
  static uint64_t ProcessDownloaded();
  static uint64_t ProcessUploaded();

  // Bytes received from HTTP and FTP sources and from BitTorrent peers.
  uint64_t httpBytes = 0;
  uint64_t p2pBytes = 0;

 protected:
  // One step of the transfer machinery, run by the loop after its pause: drives the peers by
  // their rates and, once a second has passed, measures, limits and publishes.
  virtual void StatisticsTick(uint64_t now);
  // Seconds of engine uptime.
  virtual uint32_t Uptime();

  int32_t SmoothedRate() const { return working.smoothedRate; }
  // Milliseconds the loop pauses per step; 0 until the first step.
  int32_t TickPauseMs() const { return tickPauseMs_; }
  // How long the loop may sleep because no connection is open and no timer of the step is due
  // before; 0 when it must keep its pace.
  uint32_t QuietMs();
  // The engine clock as cached by the last measured second.
  uint64_t TaskClock() const { return taskClock_; }
  const TRateMeter& Meter() const { return meter_; }
  // Sets watch to the connections of the peers the next step runs.
  void WatchTraffic(TrafficWatch& watch);

 private:
  void Measure(uint64_t now);
  void DrivePeers(bool fullStep, int32_t extraUploads);
  static int64_t OwnRate(const TPeerObject& peer, bool complete);
  bool RunsDownload(const TRef<TPeerObject>& peer, bool fullStep, bool complete) const;
  void RecomputeBudgets();
  bool ContentComplete() const;
  int64_t SumRates(int32_t kindMask, bool upload);

  TRateMeter meter_;
  int32_t tickPauseMs_ = 0;
  int32_t uploadSlots_ = 6;
  int32_t slowTicks_ = 0;
  bool measured_ = false;
  bool publishPending_ = false;
  bool cycleSoon_ = false;
  uint32_t lastMeasureMs_ = 0;
  uint32_t lastListenerMs_ = 0;
  uint32_t startUptime_ = 0;
  uint64_t taskClock_ = 0;
  uint64_t lastCacheRound_ = 0;
  int64_t downloadBudget_ = TRateMeter::kUnlimited;
  // The share of the peer now stepping, and the second's received bytes when its step began.
  int64_t stepShare_ = TRateMeter::kUnlimited;
  int64_t stepStart_ = 0;
  int64_t uploadBudget_ = TRateMeter::kUnlimited;
  int64_t downloadShare_ = 0;
  int64_t uploadShare_ = 0;
  // Written by ShareLimits on any task's thread.
  std::atomic<int64_t> shareReceived_{0};
  std::atomic<int64_t> shareSent_{0};
  std::atomic<bool> sharesPending_{false};
  int64_t pendingDownloadShare_ = 0;  // share lock
  int64_t pendingUploadShare_ = 0;    // share lock
};

}  // namespace bw
