#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace bw {

// Until when the bytes of a job count towards the bound of its queue.
enum class JobBytes { kFreedWhenRun, kHeldUntilTaken };

// Jobs on pieces, run one at a time on a thread of their own, so the task thread only moves data.
// Results are taken in queue order. What a job reads stays the caller's and must not change until
// its result is taken or it is cancelled.
template <typename Result>
class OrderedWorkQueue {
 public:
  using Job = std::function<Result()>;

  // Jobs of at least maxBytes in flight make the queue full.
  OrderedWorkQueue(int64_t maxBytes, JobBytes jobBytes)
      : maxBytes_(maxBytes), jobBytes_(jobBytes), worker_([this] { WorkLoop(); }) {}
  // Drops what is queued and waits for the job running.
  ~OrderedWorkQueue() {
    CancelAll();
    {
      std::lock_guard<std::mutex> guard(mutex_);
      quit_ = true;
    }
    queued_.notify_all();
    worker_.join();
  }

  bool Full() const { return BytesInFlight() >= maxBytes_; }
  // Nothing queued or running.
  bool Idle() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return waiting_.empty() && running_ < 0;
  }
  // Queued, running, and finished but not taken.
  size_t InFlight() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return waiting_.size() + (running_ >= 0 ? 1 : 0) + ready_.size();
  }
  int64_t BytesInFlight() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return bytes_;
  }

  void Queue(int32_t index, int64_t bytes, Job job) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      bytes_ += bytes;
      waiting_.push_back({index, bytes, std::move(job)});
    }
    queued_.notify_one();
  }
  // With JobBytes::kHeldUntilTaken only taking results makes room: take the oldest instead.
  void WaitForRoom() {
    std::unique_lock<std::mutex> guard(mutex_);
    finished_.wait(guard, [this] { return bytes_ < maxBytes_; });
  }
  // The results ready now.
  std::vector<Result> TakeReady() {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<Result> results;
    for (Finished& finished : ready_) {
      results.push_back(std::move(finished.result));
      bytes_ -= finished.bytes;
    }
    ready_.clear();
    return results;
  }
  // Waits for the oldest result; false when nothing is queued or running.
  bool TakeOldest(Result* result) {
    std::unique_lock<std::mutex> guard(mutex_);
    finished_.wait(guard, [this] { return !ready_.empty() || (waiting_.empty() && running_ < 0); });
    if (ready_.empty()) return false;
    *result = std::move(ready_.front().result);
    bytes_ -= ready_.front().bytes;
    ready_.pop_front();
    return true;
  }
  // Forgets the jobs of index: their results never come, and once this returns their memory is
  // not read.
  void Cancel(int32_t index) {
    Drop([index](int32_t of) { return of == index; });
  }
  void CancelAll() {
    Drop([](int32_t) { return true; });
  }

 private:
  struct Waiting {
    int32_t index;
    int64_t bytes;
    Job run;
  };
  struct Finished {
    int32_t index;
    int64_t bytes;  // still counted
    Result result;
  };

  template <typename Dropped>
  void Drop(const Dropped& dropped) {
    std::unique_lock<std::mutex> guard(mutex_);
    const auto drop = [&](const auto& entry) {
      if (!dropped(entry.index)) return false;
      bytes_ -= entry.bytes;
      return true;
    };
    std::erase_if(waiting_, drop);
    std::erase_if(ready_, drop);
    if (running_ >= 0 && dropped(running_)) {
      runningCancelled_ = true;
      finished_.wait(guard, [&] { return running_ < 0 || !dropped(running_); });
    }
    finished_.notify_all();
  }

  void WorkLoop() {
    std::unique_lock<std::mutex> guard(mutex_);
    for (;;) {
      queued_.wait(guard, [this] { return quit_ || !waiting_.empty(); });
      if (quit_) return;
      Waiting job = std::move(waiting_.front());
      waiting_.pop_front();
      running_ = job.index;
      runningCancelled_ = false;
      guard.unlock();
      Result result = job.run();
      job.run = nullptr;  // what it holds goes before a waiting caller frees the memory
      guard.lock();
      const int64_t held = (runningCancelled_ || jobBytes_ == JobBytes::kFreedWhenRun) ? 0 : job.bytes;
      bytes_ -= job.bytes - held;
      if (!runningCancelled_) ready_.push_back({job.index, held, std::move(result)});
      running_ = -1;
      finished_.notify_all();
    }
  }

  const int64_t maxBytes_;
  const JobBytes jobBytes_;
  mutable std::mutex mutex_;
  std::condition_variable queued_;
  std::condition_variable finished_;
  std::deque<Waiting> waiting_;
  int32_t running_ = -1;  // index of the job running, -1 when none
  bool runningCancelled_ = false;
  std::deque<Finished> ready_;
  int64_t bytes_ = 0;  // in flight
  bool quit_ = false;
  std::thread worker_;
};

}  // namespace bw
