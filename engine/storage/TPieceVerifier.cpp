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

int64_t TPieceVerifier::BytesInFlight() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return bytes_;
}

bool TPieceVerifier::Full() const { return BytesInFlight() >= kMaxBytesInFlight; }

int64_t TPieceVerifier::BytesOf(const Job& job) {
  int64_t bytes = 0;
  for (const Run& run : job.runs) bytes += run.length;
  return bytes;
}

void TPieceVerifier::HandOver(Job job) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    bytes_ += BytesOf(job);
    waiting_.push_back(std::move(job));
  }
  queued_.notify_one();
}

std::vector<TPieceVerifier::Verdict> TPieceVerifier::TakeReady() {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<Verdict> verdicts;
  for (const Finished& finished : ready_) {
    verdicts.push_back(finished.verdict);
    bytes_ -= finished.bytes;
  }
  ready_.clear();
  return verdicts;
}

bool TPieceVerifier::TakeOldest(Verdict* verdict) {
  std::unique_lock<std::mutex> guard(mutex_);
  finished_.wait(guard, [this] { return !ready_.empty() || (waiting_.empty() && hashing_ < 0); });
  if (ready_.empty()) return false;
  *verdict = ready_.front().verdict;
  bytes_ -= ready_.front().bytes;
  ready_.pop_front();
  return true;
}

void TPieceVerifier::Cancel(int32_t index) {
  std::unique_lock<std::mutex> guard(mutex_);
  std::erase_if(waiting_, [this, index](const Job& job) {
    if (job.index == index) bytes_ -= BytesOf(job);
    return job.index == index;
  });
  std::erase_if(ready_, [this, index](const Finished& finished) {
    if (finished.verdict.index == index) bytes_ -= finished.bytes;
    return finished.verdict.index == index;
  });
  if (hashing_ == index) {
    hashingCancelled_ = true;
    finished_.wait(guard, [this, index] { return hashing_ != index; });
  }
}

void TPieceVerifier::CancelAll() {
  std::unique_lock<std::mutex> guard(mutex_);
  waiting_.clear();
  ready_.clear();
  bytes_ = hashingBytes_;
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
    hashingBytes_ = BytesOf(job);
    hashingCancelled_ = false;
    guard.unlock();
    const bool passed = Verify(job);
    guard.lock();
    if (hashingCancelled_) {
      bytes_ -= hashingBytes_;
    } else {
      ready_.push_back({{job.index, passed}, hashingBytes_});
    }
    hashing_ = -1;
    hashingBytes_ = 0;
    finished_.notify_all();
  }
}

}  // namespace bw
