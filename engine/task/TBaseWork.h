#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/task/TLoopRest.h"
#include "engine/task/TaskInterface.h"
#include "engine/task/TTaskSettings.h"
#include "engine/task/TTaskStatus.h"

namespace bw {

// Source marks while the peer pool holds a source.
constexpr int32_t kSourceHandedOut = 16;
constexpr int32_t kSourceTorrentHandedOut = 17;

// The base of every task: settings, status blocks, source and mirror lists, paths and the task
// info data, and its entry in the task registry (the first task starts the process-wide services).
class TBaseWork : public TaskInterface {
 public:
  TBaseWork();
  ~TBaseWork() override;

  void ReturnSourcesToIdle() override;
  void Reset(int full, int flag) override;
  int SetSpeedLimit(int direction, int kBps) override;

  // Copies the working block into the published one. Without force it only tries the lock and
  // gives up when it is taken; with full it first refreshes the derived reports.
  virtual void Publish(bool full, bool force);

  // The task info file: loading takes the four texts, saving writes them when one changed.
  bool LoadInfoFile();
  bool SaveInfoFile();
  bool DeleteInfoFile();

  TTaskSettings Settings();
  void SetSettings(const TTaskSettings& settings);  // normalised on the way in
  std::vector<TaskSource> Sources();
  TTaskStatus Published();
  std::string InfoText(const char* key);  // "bits", "part", "seeds" or "torrent"

 protected:
  // Refreshes the peer, tracker and file reports and the piece bitmap (all with force).
  virtual void RefreshReports(bool force);
  void ReadPublished(TaskStatusView& view) override;
  void StoreInfoText(int which, std::string bytes);  // marks it dirty

  enum InfoText : int { kBits, kPart, kSeeds, kTorrent, kInfoTexts };
  static constexpr const char* kInfoKeys[kInfoTexts] = {"bits", "part", "seeds", "torrent"};

  TTaskSettings settings;
  // The loop's wait while nothing is due; whatever the loop must answer soon wakes it.
  TLoopRest loopRest;
  // A speed limit changed: the transfer layer takes it at its next tick, not its next second.
  std::atomic<bool> limitsChanged{false};
  TTaskStatus working;
  TTaskStatus published;
  std::vector<TaskSource> usedSources;
  std::string infoTexts[kInfoTexts];
  bool infoDirty[kInfoTexts] = {};
  bool workRegistered = false;
};

}  // namespace bw
