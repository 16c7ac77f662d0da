#include "platform/Thread.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <future>
#include <system_error>
#include <thread>

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

bool StartDetachedThread(void (*entry)(void*), void* arg, uint32_t* threadId) {
  std::promise<uint32_t> idPromise;
  std::future<uint32_t> id = idPromise.get_future();
  try {
    std::thread([entry, arg, reported = std::move(idPromise)]() mutable {
      reported.set_value(CurrentThreadId());
      entry(arg);
    }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  *threadId = id.get();
  return true;
}

}  // namespace platform
