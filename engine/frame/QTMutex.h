#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include "engine/frame/QBaseMutex.h"
#include "platform/NativeMutex.h"

namespace bw {

// Recursive lock with owner bookkeeping: Unlock returns true while the caller still owned it,
// so a thread can release the lock completely by calling Unlock until it returns false.
class QTMutex : public QBaseMutex {
 public:
  QTMutex() { Create(); }
  ~QTMutex() override { Close(); }

  bool Create() override;
  void Close() override;
  bool Lock() override;
  bool TryLock() override;
  bool Unlock() override;

  uint32_t Owner() const { return owner_.load(std::memory_order_acquire); }
  int32_t Count() const { return count_; }

 private:
  std::unique_ptr<platform::NativeMutex> mutex_;
  std::atomic<uint32_t> owner_{0};
  int32_t count_ = 0;  // touched only by the owner
};

// Plain non-recursive lock for counters and buffer pools.
class QSMutex : public QBaseMutex {
 public:
  QSMutex() { Create(); }
  ~QSMutex() override { Close(); }

  bool Create() override;
  void Close() override;
  bool Lock() override;
  bool TryLock() override;
  bool Unlock() override;

 private:
  std::unique_ptr<platform::NativeMutex> mutex_;
};

}  // namespace bw
