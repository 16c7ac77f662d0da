#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace bw {

// Writes of verified pieces on a thread of their own, so the task thread only moves data and
// never waits for the disk while there is room. Writes run in the order they were queued and
// report back in that order. What a write reads stays the caller's and must not change until
// its report is taken or it is cancelled.
class TPieceWriter {
 public:
  // Bytes written, or -1 with *error set to the negative errno of the failure.
  using Write = std::function<int64_t(int* error)>;
  struct Done {
    int32_t index;
    int64_t written;
    int error;  // 0, or the negative errno of a failed write
  };

  // Queued and running writes of at least maxBytes make the writer full.
  explicit TPieceWriter(int64_t maxBytes);
  // Drops what is queued and waits for the write running.
  ~TPieceWriter();
  TPieceWriter(const TPieceWriter&) = delete;
  TPieceWriter& operator=(const TPieceWriter&) = delete;

  bool Full() const;
  // Nothing queued or running.
  bool Idle() const;
  void Queue(int32_t index, int64_t bytes, Write write);
  void WaitForRoom();
  // The reports ready now, in queue order.
  std::vector<Done> TakeDone();
  // Waits for every write queued and takes all reports.
  std::vector<Done> Settle();
  // Forgets the writes of index: their reports never come, and once this returns their memory
  // is not read.
  void Cancel(int32_t index);
  void CancelAll();

 private:
  struct Job {
    int32_t index;
    int64_t bytes;
    Write write;
  };

  void WorkLoop();
  void WaitWhileWriting(std::unique_lock<std::mutex>& guard, int32_t index);

  const int64_t maxBytes_;
  mutable std::mutex mutex_;
  std::condition_variable queued_;
  std::condition_variable finished_;
  std::deque<Job> waiting_;
  int32_t writing_ = -1;  // index of the write running, -1 when none
  bool writingCancelled_ = false;
  int64_t busyBytes_ = 0;  // queued and running
  std::vector<Done> done_;
  bool quit_ = false;
  std::thread worker_;
};

}  // namespace bw
