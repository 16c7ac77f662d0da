#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "engine/storage/OrderedWorkQueue.h"

namespace bw {

struct PieceWritten {
  int32_t index;
  int64_t written;
  int error;  // 0, or the negative errno of a failed write
};

// Writes of verified pieces on a thread of their own, so the task thread never waits for the disk
// while there is room. Writes run in the order they were queued and report back in that order.
// What a write reads stays the caller's and must not change until its report is taken or it is
// cancelled.
class TPieceWriter : private OrderedWorkQueue<PieceWritten> {
 public:
  // Bytes written, or -1 with *error set to the negative errno of the failure.
  using Write = std::function<int64_t(int* error)>;
  using Done = PieceWritten;

  // Queued and running writes of at least maxBytes make the writer full.
  explicit TPieceWriter(int64_t maxBytes) : OrderedWorkQueue(maxBytes, JobBytes::kFreedWhenRun) {}

  using OrderedWorkQueue::Cancel;
  using OrderedWorkQueue::CancelAll;
  using OrderedWorkQueue::Full;
  using OrderedWorkQueue::Idle;
  using OrderedWorkQueue::WaitForRoom;
  void Queue(int32_t index, int64_t bytes, Write write);
  // The reports ready now, in queue order.
  std::vector<Done> TakeDone() { return TakeReady(); }
  // Waits for every write queued and takes all reports.
  std::vector<Done> Settle();
};

}  // namespace bw
