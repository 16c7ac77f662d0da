#pragma once
#include <cstdint>

#include "engine/task/TWorkWithTransStatis.h"

namespace bw {

// One download: the thread that runs its loop, its completion and its restart.
class TWorkThread : public TWorkWithTransStatis {
 public:
  static constexpr const char* kInfoSuffix = ".bwinfo";

  TWorkThread();
  ~TWorkThread() override;

  void Run() override;

  int StartDownload() override;
  int ContinueDownload() override;
  int ResumeDownload() override;
  int StopDownload() override;
  int RequestPause();
  // Stops, deletes the data, in-progress, info and pending-block files and starts from nothing.
  int RestartDownload();
  void Reset(int full, int flag) override;

  // One step of the transfer machinery; returns the engine clock.
  virtual uint64_t Tick();

  bool Completed() const { return completed_; }
  uint64_t SizeOnDisk() const { return sizeOnDisk_; }

 protected:
  // Whether the loop is done with the content: finishes the files the first time it is complete.
  bool IsContentComplete(uint64_t now);

 private:
  enum class Outcome { kNone, kNoSources, kMetadataTimeout };

  int StartThread(const char* threadName);
  void DownloadLoop();
  // false when the loop is not to run.
  bool Prepare();
  Outcome Loop();
  void Finish(Outcome outcome);
  void RefreshSizeOnDisk();
  void ReleaseHeldLocks();
  static void KeepBufferPoolsSmall();

  TrafficWatch traffic_;
  uint64_t sizeOnDisk_ = 0;
  uint64_t lastSizeRefresh_ = 0;  // engine second of the last RefreshSizeOnDisk
  bool completed_ = false;
  uint64_t startClock_ = 0;
  uint64_t lastHandOut_ = 0;
  uint64_t lastUpkeep_ = 0;
  uint64_t lastMaintenance_ = 0;
  uint64_t lastSave_ = 0;
  uint64_t lastInfoSave_ = 0;
  int32_t upkeepCount_ = 0;
};

}  // namespace bw
