#pragma once

namespace bw {

class QBaseMutex {
 public:
  virtual bool Create() = 0;
  virtual void Close() = 0;
  virtual ~QBaseMutex() = default;
  virtual bool Lock() = 0;
  virtual bool TryLock() = 0;
  virtual bool Unlock() = 0;
};

// Holds a lock for the life of a scope; Unlock only if the Lock succeeded.
class QScopedLock {
 public:
  explicit QScopedLock(QBaseMutex* mutex, bool lockNow = true) : mutex_(mutex) {
    if (lockNow && mutex_) locked_ = mutex_->Lock();
  }
  explicit QScopedLock(QBaseMutex& mutex) : QScopedLock(&mutex) {}
  ~QScopedLock() {
    if (locked_) mutex_->Unlock();
  }
  QScopedLock(const QScopedLock&) = delete;
  QScopedLock& operator=(const QScopedLock&) = delete;

  bool Locked() const { return locked_; }

 private:
  QBaseMutex* mutex_;
  bool locked_ = false;
};

}  // namespace bw
