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

  // Bytes of the pieces in flight (queued, hashing or waiting to be taken) that make the verifier
  // full: the task thread only waits for it once this much memory waits for hashing.
  static constexpr int64_t kMaxBytesInFlight = 16 << 20;

  TPieceVerifier();
  ~TPieceVerifier();
  TPieceVerifier(const TPieceVerifier&) = delete;
  TPieceVerifier& operator=(const TPieceVerifier&) = delete;

  bool Full() const;
  size_t InFlight() const;
  int64_t BytesInFlight() const;
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
  struct Finished {
    Verdict verdict;
    int64_t bytes;
  };
  static int64_t BytesOf(const Job& job);

  std::deque<Job> waiting_;
  int32_t hashing_ = -1;          // index of the piece being hashed, -1 when none
  int64_t hashingBytes_ = 0;
  bool hashingCancelled_ = false;
  std::deque<Finished> ready_;
  int64_t bytes_ = 0;  // of every piece in flight
  bool quit_ = false;
  std::thread worker_;
};

}  // namespace bw
