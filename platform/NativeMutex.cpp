#include "platform/NativeMutex.h"

#include <cerrno>

namespace platform {

NativeMutex::NativeMutex() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(&mutex_, &attr);
  pthread_mutexattr_destroy(&attr);
}

NativeMutex::~NativeMutex() { pthread_mutex_destroy(&mutex_); }

bool NativeMutex::Acquired(int rc) {
  if (rc == EOWNERDEAD) {
    pthread_mutex_consistent(&mutex_);
    return true;
  }
  return rc == 0;
}

bool NativeMutex::Lock() { return Acquired(pthread_mutex_lock(&mutex_)); }

bool NativeMutex::TryLock() { return Acquired(pthread_mutex_trylock(&mutex_)); }

bool NativeMutex::Unlock() { return pthread_mutex_unlock(&mutex_) == 0; }

}  // namespace platform
