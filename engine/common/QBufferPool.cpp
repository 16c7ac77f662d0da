#include "engine/common/QBufferPool.h"

#include <new>

namespace bw {

QBufferPool::~QBufferPool() {
  for (auto& [buffer, size] : used_) delete[] buffer;
  for (auto& [size, buffer] : free_) delete[] buffer;
}

uint8_t* QBufferPool::Allocate(int64_t n) {
  if (n < 1) n = 1;
  QScopedLock guard(lock_);
  auto it = free_.lower_bound(n);
  if (it != free_.end() && it->first - n < kSlack) {
    int64_t size = it->first;
    uint8_t* buffer = it->second;
    free_.erase(it);
    freeBytes_ -= size;
    used_.emplace(buffer, size);
    usedBytes_ += size;
    return buffer;
  }
  // One spare byte, so a buffer can always carry a terminating NUL.
  auto* buffer = new (std::nothrow) uint8_t[static_cast<size_t>(n + 1)];
  if (!buffer) return nullptr;
  used_.emplace(buffer, n + 1);
  usedBytes_ += n + 1;
  return buffer;
}

void QBufferPool::Release(uint8_t* buffer) {
  if (!buffer) return;
  QScopedLock guard(lock_);
  auto it = used_.find(buffer);
  if (it == used_.end()) return;
  int64_t size = it->second;
  used_.erase(it);
  usedBytes_ -= size;
  free_.emplace(size, buffer);
  freeBytes_ += size;
}

void QBufferPool::Trim(int64_t keepBytes) {
  QScopedLock guard(lock_);
  while (freeBytes_ > keepBytes && !free_.empty()) {
    auto last = std::prev(free_.end());
    freeBytes_ -= last->first;
    delete[] last->second;
    free_.erase(last);
  }
}

int64_t QBufferPool::BytesInUse() const {
  QScopedLock guard(lock_);
  return usedBytes_;
}

int64_t QBufferPool::BytesHeld() const {
  QScopedLock guard(lock_);
  return usedBytes_ + freeBytes_;
}

}  // namespace bw
