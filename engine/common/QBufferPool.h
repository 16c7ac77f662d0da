#pragma once
#include <cstdint>
#include <map>
#include <unordered_map>

#include "engine/frame/QTMutex.h"

namespace bw {

// Reusable byte buffers shared by threads. Every buffer has one byte more than asked for, so a
// holder can keep its contents 0-terminated.
class QBufferPool {
 public:
  QBufferPool() = default;
  ~QBufferPool();
  QBufferPool(const QBufferPool&) = delete;
  QBufferPool& operator=(const QBufferPool&) = delete;

  // A buffer of at least n bytes (n < 1 counts as 1): a free one of exactly n bytes, else a
  // free one less than 1,024 bytes larger, else a new one. *size receives its usable size.
  // nullptr when memory runs out.
  uint8_t* Alloc(int64_t n, int64_t* size = nullptr);
  // Gives a buffer back for reuse; false for one that this pool did not hand out.
  bool Free(uint8_t* buffer);
  // Frees free buffers until at most keepBytes are held in free ones.
  void Trim(int64_t keepBytes);

  int64_t UsedBytes() const;
  int64_t FreeBytes() const;

 private:
  mutable QSMutex lock_;
  std::unordered_map<uint8_t*, int64_t> used_;
  std::multimap<int64_t, uint8_t*> free_;  // by size
  int64_t usedBytes_ = 0;
  int64_t freeBytes_ = 0;
};

}  // namespace bw
