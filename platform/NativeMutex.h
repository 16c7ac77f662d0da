#pragma once
#include <pthread.h>

namespace platform {

// A non-recursive mutex that any thread may wait on. Like a Windows mutex, a wait on one whose
// owner died succeeds ("abandoned") instead of hanging.
class NativeMutex {
 public:
  NativeMutex();
  ~NativeMutex();
  NativeMutex(const NativeMutex&) = delete;
  NativeMutex& operator=(const NativeMutex&) = delete;

  bool Lock();
  bool TryLock();
  bool Unlock();

 private:
  bool Acquired(int rc);
  pthread_mutex_t mutex_;
};

}  // namespace platform
