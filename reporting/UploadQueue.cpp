#include "reporting/UploadQueue.h"

#include <utility>

namespace bw {

bool UploadQueue::Push(UploadRecord record) {
  std::lock_guard<std::mutex> hold(guard_);
  if (records_.size() >= kCapacity) return false;
  records_.push_back(std::move(record));
  return true;
}

std::deque<UploadRecord> UploadQueue::TakeAll() {
  std::lock_guard<std::mutex> hold(guard_);
  return std::exchange(records_, {});
}

}  // namespace bw
