#include "engine/frame/QTMutex.h"

#include "platform/Thread.h"

namespace bw {

bool QTMutex::Create() {
  if (!mutex_) mutex_ = std::make_unique<platform::NativeMutex>();
  owner_.store(0, std::memory_order_release);
  count_ = 0;
  return true;
}

void QTMutex::Close() {
  if (!mutex_) return;
  if (Owner() != platform::CurrentThreadId()) mutex_->Lock();
  owner_.store(0, std::memory_order_release);
  count_ = 0;
  mutex_->Unlock();
  mutex_.reset();
}

bool QTMutex::Lock() {
  if (!mutex_) return false;
  const uint32_t self = platform::CurrentThreadId();
  if (Owner() == self) {
    ++count_;
    return true;
  }
  if (!mutex_->Lock()) return false;
  owner_.store(self, std::memory_order_release);
  count_ = 1;
  return true;
}

bool QTMutex::TryLock() {
  if (!mutex_) return false;
  const uint32_t self = platform::CurrentThreadId();
  const uint32_t owner = Owner();
  if (owner != 0) {
    if (owner != self) return false;
    ++count_;
    return true;
  }
  if (!mutex_->TryLock()) return false;
  owner_.store(self, std::memory_order_release);
  count_ = 1;
  return true;
}

bool QTMutex::Unlock() {
  const uint32_t self = platform::CurrentThreadId();
  if (!mutex_ || Owner() != self) return false;
  if (--count_ > 0) return true;
  owner_.store(0, std::memory_order_release);
  if (mutex_->Unlock()) return true;
  owner_.store(self, std::memory_order_release);
  count_ = 1;
  return false;
}

bool QSMutex::Create() {
  if (!mutex_) mutex_ = std::make_unique<platform::NativeMutex>();
  return true;
}

void QSMutex::Close() {
  if (!mutex_) return;
  mutex_->Lock();
  auto closing = std::move(mutex_);
  closing->Unlock();
}

bool QSMutex::Lock() { return mutex_ && mutex_->Lock(); }

bool QSMutex::TryLock() { return mutex_ && mutex_->TryLock(); }

bool QSMutex::Unlock() { return mutex_ && mutex_->Unlock(); }

}  // namespace bw
