#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "engine/common/TRef.h"

namespace bw {

class TPeerId;
class TPeerObject;
class TPieceScheduler;
class TPieces;

// Tells when a task has received nothing for a while although pieces are missing: once for each
// such stall, so the log shows it without repeating it every second.
class StallWatch {
 public:
  static constexpr uint64_t kQuietSeconds = 5;

  // received: the task's byte count so far; stuck: pieces are missing and sources are there to
  // fetch them. True at the first call of a stall that has lasted kQuietSeconds.
  bool Due(uint64_t now, uint64_t received, bool stuck);

 private:
  bool watching_ = false;
  uint64_t lastReceived_ = 0;
  uint64_t quietSince_ = 0;
  bool reported_ = false;
};

// One log line of the scheduler's view: the missing pieces and their state, the ranges with
// their workers, the needed pieces no range holds, the wanted and end-game lists, each source's
// connections and back-off and each connection's work. Peers are named by their place in
// `peers`; a worker that is not among them shows as "gone".
std::string DescribeStall(const TPieces& pieces, TPieceScheduler& scheduler, const std::vector<TRef<TPeerId>>& sources,
                          const std::vector<TRef<TPeerObject>>& peers, uint64_t now);

}  // namespace bw
