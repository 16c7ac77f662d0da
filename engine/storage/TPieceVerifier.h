#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/common/Sha1.h"

namespace bw {

// SHA-1 of completed pieces on a thread of its own, so the task thread only moves data. Pieces
// are handed over with the stretches of memory that hold them and come back as verdicts in the
// order they were handed over. The memory stays the caller's and must not change until the
// piece's verdict is taken or the piece is cancelled.
class TPieceVerifier {
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
  struct Verdict {
    int32_t index;
    bool passed;
  };

  // Pieces in flight (queued, hashing or waiting to be taken) before HandOver waits for room.
  static constexpr size_t kMaxInFlight = 4;

  TPieceVerifier();
  ~TPieceVerifier();
  TPieceVerifier(const TPieceVerifier&) = delete;
  TPieceVerifier& operator=(const TPieceVerifier&) = delete;

  bool Full() const;
  size_t InFlight() const;
  // Queues a piece; the caller takes a verdict first when Full().
  void HandOver(Job job);
  // The verdicts ready now, in hand-over order.
  std::vector<Verdict> TakeReady();
  // Waits for the oldest piece in flight; false when none is.
  bool TakeOldest(Verdict* verdict);
  // Forgets a piece: its verdict never comes, and once this returns its memory is not read.
  void Cancel(int32_t index);
  // Forgets every piece in flight.
  void CancelAll();

 private:
  void WorkLoop();
  static bool Verify(const Job& job);

  mutable std::mutex mutex_;
  std::condition_variable queued_;
  std::condition_variable finished_;
  std::deque<Job> waiting_;
  int32_t hashing_ = -1;          // index of the piece being hashed, -1 when none
  bool hashingCancelled_ = false;
  std::deque<Verdict> ready_;
  bool quit_ = false;
  std::thread worker_;
};

}  // namespace bw
