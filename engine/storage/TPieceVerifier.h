#pragma once
#include <cstdint>
#include <vector>

#include "engine/common/Sha1.h"
#include "engine/storage/OrderedWorkQueue.h"

namespace bw {

struct PieceVerdict {
  int32_t index;
  bool passed;
};

// SHA-1 of completed pieces on a thread of its own. Pieces are handed over with the stretches of
// memory that hold them and come back as verdicts in the order they were handed over. The memory
// stays the caller's and must not change until the piece's verdict is taken or the piece is
// cancelled.
class TPieceVerifier : private OrderedWorkQueue<PieceVerdict> {
 public:
  struct Run {
    const uint8_t* data;
    int32_t length;
  };
  struct Job {
    int32_t index = -1;
    bool fromState = false;  // continue `state` instead of starting a new hash
    uint8_t state[Sha1::kStateSize] = {};
    uint8_t expected[Sha1::kDigestSize] = {};
    std::vector<Run> runs;
  };
  using Verdict = PieceVerdict;

  // Bytes of the pieces in flight (queued, hashing or waiting to be taken) that make the verifier
  // full: the task thread only waits for it once this much memory waits for hashing.
  static constexpr int64_t kMaxBytesInFlight = 16 << 20;

  TPieceVerifier() : OrderedWorkQueue(kMaxBytesInFlight, JobBytes::kHeldUntilTaken) {}

  using OrderedWorkQueue::BytesInFlight;
  using OrderedWorkQueue::Cancel;
  using OrderedWorkQueue::CancelAll;
  using OrderedWorkQueue::Full;
  using OrderedWorkQueue::InFlight;
  using OrderedWorkQueue::TakeOldest;
  using OrderedWorkQueue::TakeReady;
  // Queues a piece; the caller takes a verdict first when Full().
  void HandOver(Job job);

 private:
  static bool Verify(const Job& job);
};

}  // namespace bw
