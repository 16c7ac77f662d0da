#include "engine/storage/TPieceVerifier.h"

#include <algorithm>
#include <cstring>

namespace bw {

TPieceVerifier::TPieceVerifier() : worker_([this] { WorkLoop(); }) {}

TPieceVerifier::~TPieceVerifier() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    quit_ = true;
    waiting_.clear();
  }
  queued_.notify_all();
  worker_.join();
}

size_t TPieceVerifier::InFlight() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return waiting_.size() + (hashing_ >= 0 ? 1 : 0) + ready_.size();
}

bool TPieceVerifier::Full() const { return InFlight() >= kMaxInFlight; }

void TPieceVerifier::HandOver(Job job) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    waiting_.push_back(std::move(job));
  }
  queued_.notify_one();
}

std::vector<TPieceVerifier::Verdict> TPieceVerifier::TakeReady() {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<Verdict> verdicts(ready_.begin(), ready_.end());
  ready_.clear();
  return verdicts;
}

bool TPieceVerifier::TakeOldest(Verdict* verdict) {
  std::unique_lock<std::mutex> guard(mutex_);
  finished_.wait(guard, [this] { return !ready_.empty() || (waiting_.empty() && hashing_ < 0); });
  if (ready_.empty()) return false;
  *verdict = ready_.front();
  ready_.pop_front();
  return true;
}

void TPieceVerifier::Cancel(int32_t index) {
  std::unique_lock<std::mutex> guard(mutex_);
  std::erase_if(waiting_, [index](const Job& job) { return job.index == index; });
  std::erase_if(ready_, [index](const Verdict& verdict) { return verdict.index == index; });
  if (hashing_ == index) {
    hashingCancelled_ = true;
    finished_.wait(guard, [this, index] { return hashing_ != index; });
  }
}

void TPieceVerifier::CancelAll() {
  std::unique_lock<std::mutex> guard(mutex_);
  waiting_.clear();
  ready_.clear();
  if (hashing_ >= 0) {
    hashingCancelled_ = true;
    finished_.wait(guard, [this] { return hashing_ < 0; });
  }
}

bool TPieceVerifier::Verify(const Job& job) {
  Sha1 sha;
  if (job.fromState && !sha.ImportState(job.state, Sha1::kStateSize)) return false;
  for (const Run& run : job.runs) {
    if (sha.Input(run.data, static_cast<size_t>(run.length)) != Sha1::kSuccess) return false;
  }
  uint8_t digest[Sha1::kDigestSize];
  return sha.Result(digest) == Sha1::kSuccess && std::memcmp(digest, job.expected, sizeof digest) == 0;
}

void TPieceVerifier::WorkLoop() {
  std::unique_lock<std::mutex> guard(mutex_);
  for (;;) {
    queued_.wait(guard, [this] { return quit_ || !waiting_.empty(); });
    if (quit_) return;
    Job job = std::move(waiting_.front());
    waiting_.pop_front();
    hashing_ = job.index;
    hashingCancelled_ = false;
    guard.unlock();
    const bool passed = Verify(job);
    guard.lock();
    if (!hashingCancelled_) ready_.push_back({job.index, passed});
    hashing_ = -1;
    finished_.notify_all();
  }
}

}  // namespace bw
