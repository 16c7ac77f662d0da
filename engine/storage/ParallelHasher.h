#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "engine/common/Sha1.h"

namespace bw {

// SHA-1 of many buffers at once on the machine's cores: the calling thread hashes too, and
// helper threads take the buffers it has not reached. Each digest lands in its own job.
class ParallelHasher {
 public:
  struct Job {
    const uint8_t* data = nullptr;
    int64_t size = 0;
    uint8_t digest[Sha1::kDigestSize] = {};
  };

  // One helper fewer than the cores (none on one core).
  static int DefaultHelpers();

  explicit ParallelHasher(int helpers = DefaultHelpers());
  ~ParallelHasher();
  ParallelHasher(const ParallelHasher&) = delete;
  ParallelHasher& operator=(const ParallelHasher&) = delete;

  // Returns once every job has its digest.
  void HashAll(std::span<Job> jobs);

 private:
  void HelperLoop();
  // Hashes jobs of the current round until none is left; the count it finished.
  size_t TakeJobs(std::span<Job> jobs);

  std::mutex mutex_;
  std::condition_variable roundStarted_;
  std::condition_variable roundDone_;
  std::span<Job> jobs_;
  std::atomic<size_t> next_{0};
  size_t finished_ = 0;
  int working_ = 0;  // helpers inside the current round
  uint64_t round_ = 0;
  bool quit_ = false;
  std::vector<std::thread> helpers_;
};

}  // namespace bw
