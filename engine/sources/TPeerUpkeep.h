#pragma once
#include <cstdint>

namespace bw {

class IPeerTask;
class TBTPeer;
class TPeerObject;

// The three-second upkeep of a task's active peers: ranking, the rate window, pruning, and for
// BitTorrent peers choking, seed counting and the stall check.
class TPeerUpkeep {
 public:
  static constexpr uint64_t kPeriod = 3;
  // Back-off given to the identity of a pruned peer.
  static constexpr int32_t kDropPenalty = 6;
  // Every this many runs, peers whose connection moved no byte since the last check grow idle;
  // past kStallLimit they are closed, from it on they are choked.
  static constexpr int32_t kStallEvery = 4;
  static constexpr int32_t kStallLimit = 4;

  // Order of the active list, most valuable first: negative puts a first.
  static int ComparePeers(IPeerTask& task, TPeerObject* a, TPeerObject* b);

  // Runs when a period has passed since the last run; true when it ran.
  bool Tick(IPeerTask& task);

  // How many BitTorrent peers, best ranked first, may be unchoked.
  static int64_t UnchokeLimit(IPeerTask& task);
  // Have messages received from all peers so far, and the seeds among the last run's peers
  // while the task was complete.
  int64_t HaveMessages() const { return haveMessages_; }
  int32_t Seeds() const { return seeds_; }

 private:
  static void CloseWindow(IPeerTask& task);
  static void Prune(IPeerTask& task);
  void SwarmUpkeep(IPeerTask& task);
  static void CheckStall(TBTPeer& peer);

  int64_t runs_ = 0;
  int64_t haveMessages_ = 0;
  int32_t seeds_ = 0;
  uint64_t lastRun_ = 0;
  bool ran_ = false;
};

}  // namespace bw
