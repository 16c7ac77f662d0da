#include "engine/storage/TPieceWriter.h"

#include <algorithm>
#include <utility>

namespace bw {

TPieceWriter::TPieceWriter(int64_t maxBytes) : maxBytes_(maxBytes), worker_([this] { WorkLoop(); }) {}

TPieceWriter::~TPieceWriter() {
  CancelAll();
  {
    std::lock_guard<std::mutex> guard(mutex_);
    quit_ = true;
  }
  queued_.notify_all();
  worker_.join();
}

bool TPieceWriter::Full() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return busyBytes_ >= maxBytes_;
}

bool TPieceWriter::Idle() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return waiting_.empty() && writing_ < 0;
}

void TPieceWriter::Queue(int32_t index, int64_t bytes, Write write) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    waiting_.push_back({index, bytes, std::move(write)});
    busyBytes_ += bytes;
  }
  queued_.notify_one();
}

void TPieceWriter::WaitForRoom() {
  std::unique_lock<std::mutex> guard(mutex_);
  finished_.wait(guard, [this] { return busyBytes_ < maxBytes_; });
}

std::vector<TPieceWriter::Done> TPieceWriter::TakeDone() {
  std::lock_guard<std::mutex> guard(mutex_);
  return std::exchange(done_, {});
}

std::vector<TPieceWriter::Done> TPieceWriter::Settle() {
  std::unique_lock<std::mutex> guard(mutex_);
  finished_.wait(guard, [this] { return waiting_.empty() && writing_ < 0; });
  return std::exchange(done_, {});
}

void TPieceWriter::WaitWhileWriting(std::unique_lock<std::mutex>& guard, int32_t index) {
  if (writing_ < 0 || (index >= 0 && writing_ != index)) return;
  writingCancelled_ = true;
  finished_.wait(guard, [this, index] { return writing_ < 0 || (index >= 0 && writing_ != index); });
}

void TPieceWriter::Cancel(int32_t index) {
  std::unique_lock<std::mutex> guard(mutex_);
  std::erase_if(waiting_, [this, index](const Job& job) {
    if (job.index == index) busyBytes_ -= job.bytes;
    return job.index == index;
  });
  std::erase_if(done_, [index](const Done& done) { return done.index == index; });
  WaitWhileWriting(guard, index);
  finished_.notify_all();
}

void TPieceWriter::CancelAll() {
  std::unique_lock<std::mutex> guard(mutex_);
  for (const Job& job : waiting_) busyBytes_ -= job.bytes;
  waiting_.clear();
  done_.clear();
  WaitWhileWriting(guard, -1);
  finished_.notify_all();
}

void TPieceWriter::WorkLoop() {
  std::unique_lock<std::mutex> guard(mutex_);
  for (;;) {
    queued_.wait(guard, [this] { return quit_ || !waiting_.empty(); });
    if (quit_) return;
    Job job = std::move(waiting_.front());
    waiting_.pop_front();
    writing_ = job.index;
    writingCancelled_ = false;
    guard.unlock();
    int error = 0;
    const int64_t written = job.write(&error);
    job.write = nullptr;  // what it holds goes before a waiting caller frees the memory
    guard.lock();
    if (!writingCancelled_) done_.push_back({job.index, written, error});
    busyBytes_ -= job.bytes;
    writing_ = -1;
    finished_.notify_all();
  }
}

}  // namespace bw
