#pragma once
#include <cstdint>

namespace bw {

class IPeerTask;
class TPeerObject;

// The three-second upkeep of a task's active peers: ranking, the rate window and pruning.
class TPeerUpkeep {
 public:
  static constexpr uint64_t kPeriod = 3;
  // Back-off given to the identity of a pruned peer.
  static constexpr int32_t kDropPenalty = 6;

  // Order of the active list, most valuable first: negative puts a first.
  static int ComparePeers(IPeerTask& task, TPeerObject* a, TPeerObject* b);

  // Runs when a period has passed since the last run; true when it ran.
  bool Tick(IPeerTask& task);

 private:
  static void CloseWindow(IPeerTask& task);
  static void Prune(IPeerTask& task);

  uint64_t lastRun_ = 0;
  bool ran_ = false;
};

}  // namespace bw
