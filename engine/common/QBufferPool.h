#pragma once
#include <cstdint>
#include <map>
#include <unordered_map>

#include "engine/frame/QTMutex.h"

namespace bw {

// Process-wide pool of reusable byte buffers, shared by all tasks. A released buffer goes back
// to the free list and is handed out again for a request of (nearly) its size.
class QBufferPool {
 public:
  QBufferPool() = default;
  ~QBufferPool();
  QBufferPool(const QBufferPool&) = delete;
  QBufferPool& operator=(const QBufferPool&) = delete;

  // A buffer of at least n bytes (n < 1 counts as 1); nullptr when memory is exhausted.
  uint8_t* Allocate(int64_t n);
  // Buffers not handed out by this pool are ignored.
  void Release(uint8_t* buffer);
  // Frees free buffers, largest first, until the free ones hold at most keepBytes.
  void Trim(int64_t keepBytes);

  int64_t BytesInUse() const;
  int64_t BytesHeld() const;  // in use plus free

 private:
  // Reuse a free buffer larger than the request by less than this.
  static constexpr int64_t kSlack = 1024;

  mutable QSMutex lock_;
  std::unordered_map<uint8_t*, int64_t> used_;
  std::multimap<int64_t, uint8_t*> free_;
  int64_t usedBytes_ = 0;
  int64_t freeBytes_ = 0;
};

}  // namespace bw
