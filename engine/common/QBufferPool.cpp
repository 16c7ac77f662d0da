#include "engine/common/QBufferPool.h"

#include <new>

namespace bw {

namespace {
constexpr int64_t kNearFit = 1024;
}

QBufferPool::~QBufferPool() {
  for (auto& [size, buffer] : free_) delete[] buffer;
  for (auto& [buffer, size] : used_) delete[] buffer;
}

uint8_t* QBufferPool::Alloc(int64_t n, int64_t* size) {
  if (n < 1) n = 1;
  QScopedLock guard(lock_);
  uint8_t* buffer = nullptr;
  int64_t got = n;
  auto it = free_.lower_bound(n);
  if (it != free_.end() && it->first - n < kNearFit) {
    got = it->first;
    buffer = it->second;
    free_.erase(it);
    freeBytes_ -= got;
  } else {
    buffer = new (std::nothrow) uint8_t[static_cast<size_t>(n) + 1];
    if (!buffer) return nullptr;
  }
  used_.emplace(buffer, got);
  usedBytes_ += got;
  if (size) *size = got;
  return buffer;
}

bool QBufferPool::Free(uint8_t* buffer) {
  if (!buffer) return false;
  QScopedLock guard(lock_);
  auto it = used_.find(buffer);
  if (it == used_.end()) return false;
  const int64_t size = it->second;
  used_.erase(it);
  usedBytes_ -= size;
  free_.emplace(size, buffer);
  freeBytes_ += size;
  return true;
}

void QBufferPool::Trim(int64_t keepBytes) {
  QScopedLock guard(lock_);
  // Large buffers go first: they are the least likely to be asked for again.
  while (freeBytes_ > keepBytes && !free_.empty()) {
    auto last = std::prev(free_.end());
    freeBytes_ -= last->first;
    delete[] last->second;
    free_.erase(last);
  }
}

int64_t QBufferPool::UsedBytes() const {
  QScopedLock guard(lock_);
  return usedBytes_;
}

int64_t QBufferPool::FreeBytes() const {
  QScopedLock guard(lock_);
  return freeBytes_;
}

}  // namespace bw
