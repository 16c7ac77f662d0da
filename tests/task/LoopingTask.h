#pragma once
#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

#include "engine/task/TaskInterface.h"
#include "engine/task/TaskRegistry.h"
#include "platform/Thread.h"

namespace bw::test {

// A task that registers itself, loops until stopped, and records what the entry points asked.
class LoopingTask : public TaskInterface {
 public:
  LoopingTask() { TaskRegistry::Add(this); }
  ~LoopingTask() override {
    Stop();
    TaskRegistry::Remove(this);
    ++destroyed;
  }

  void Run() override {
    while (!IsStopRequested()) platform::SleepMs(2);
  }
  int StartDownload() override { return Start("StartDownload") ? kEngineOk : kEngineOperationFailed; }
  int ContinueDownload() override {
    ++continued;
    return StartDownload();
  }
  int ResumeDownload() override { return StartDownload(); }
  int StopDownload() override { return Stop() ? kEngineOk : kEngineOperationFailed; }
  void ReturnSourcesToIdle() override { ++returnedToIdle; }
  void Reset(int full, int flag) override { resets.emplace_back(full, flag); }
  int SetSpeedLimit(int direction, int kBps) override {
    limits.emplace_back(direction, kBps);
    return kEngineOk;
  }
  int SetPeerLimits(int, int) override { throw std::runtime_error("peer limits fail"); }

  using TaskInterface::bt;
  using TaskInterface::contentId;
  using TaskInterface::fullPath;
  using TaskInterface::infoPath;
  using TaskInterface::mirrorHosts;
  using TaskInterface::mirrors;
  using TaskInterface::mirrorsChanged;
  using TaskInterface::p2sp;
  using TaskInterface::pendingBlockPath;
  using TaskInterface::pieceMapOption;
  using TaskInterface::saveFolder;
  using TaskInterface::sources;
  using TaskInterface::storedFlag;

  TaskStatusView published;
  std::vector<uint8_t> bitmap;
  int pieces = 0;
  int continued = 0;
  int returnedToIdle = 0;
  std::vector<std::pair<int, int>> resets;
  std::vector<std::pair<int, int>> limits;
  static inline std::atomic<int> destroyed{0};

 protected:
  void ReadPublished(TaskStatusView& view) override { view = published; }
  std::span<const uint8_t> PieceBitmap() override { return bitmap; }
  int PieceCount() override { return pieces; }
};

}  // namespace bw::test
