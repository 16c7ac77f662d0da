#include "platform/Thread.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

uint32_t CurrentThreadId() {
  static thread_local uint32_t id = static_cast<uint32_t>(syscall(SYS_gettid));
  return id;
}

void SleepMs(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace platform
