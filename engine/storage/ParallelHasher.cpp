#include "engine/storage/ParallelHasher.h"

#include <algorithm>

namespace bw {

int ParallelHasher::DefaultHelpers() {
  const unsigned cores = std::thread::hardware_concurrency();
  return cores > 1 ? static_cast<int>(std::min(cores, 8u)) - 1 : 0;
}

ParallelHasher::ParallelHasher(int helpers) {
  for (int i = 0; i < helpers; ++i) helpers_.emplace_back([this] { HelperLoop(); });
}

ParallelHasher::~ParallelHasher() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    quit_ = true;
  }
  roundStarted_.notify_all();
  for (std::thread& t : helpers_) t.join();
}

size_t ParallelHasher::TakeJobs(std::span<Job> jobs) {
  size_t done = 0;
  for (size_t i; (i = next_.fetch_add(1, std::memory_order_relaxed)) < jobs.size(); ++done) {
    Sha1::Hash(jobs[i].data, static_cast<size_t>(jobs[i].size), jobs[i].digest);
  }
  return done;
}

void ParallelHasher::HashAll(std::span<Job> jobs) {
  if (jobs.empty()) return;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    jobs_ = jobs;
    next_.store(0, std::memory_order_relaxed);
    finished_ = 0;
    ++round_;
  }
  if (jobs.size() > 1) roundStarted_.notify_all();
  const size_t mine = TakeJobs(jobs);
  std::unique_lock<std::mutex> guard(mutex_);
  finished_ += mine;
  // The jobs' memory is the caller's again only once no helper holds them.
  roundDone_.wait(guard, [&] { return finished_ == jobs.size() && working_ == 0; });
  jobs_ = {};
}

void ParallelHasher::HelperLoop() {
  uint64_t seen = 0;
  std::unique_lock<std::mutex> guard(mutex_);
  for (;;) {
    roundStarted_.wait(guard, [&] { return quit_ || round_ != seen; });
    if (quit_) return;
    seen = round_;
    // A helper that wakes after its round ended finds no jobs and waits for the next.
    const std::span<Job> jobs = jobs_;
    if (jobs.empty()) continue;
    ++working_;
    guard.unlock();
    const size_t done = TakeJobs(jobs);
    guard.lock();
    finished_ += done;
    --working_;
    if (finished_ == jobs.size() && working_ == 0) roundDone_.notify_all();
  }
}

}  // namespace bw
