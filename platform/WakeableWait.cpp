#include "platform/WakeableWait.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

namespace platform {

WakeableWait::WakeableWait() : wakeHandle_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeableWait::~WakeableWait() {
  if (wakeHandle_ >= 0) ::close(wakeHandle_);
}

bool WakeableWait::Wait(std::span<SocketWatch> watches, int timeoutMs) {
  // Kept across calls: the loop waits thousands of times a second.
  thread_local std::vector<pollfd> polled;
  polled.clear();
  polled.push_back({wakeHandle_, POLLIN, 0});
  for (const SocketWatch& w : watches) {
    const short events = static_cast<short>(((w.what & kWaitRead) ? POLLIN : 0) | ((w.what & kWaitWrite) ? POLLOUT : 0));
    // A negative descriptor is left out by poll itself.
    polled.push_back({events ? w.handle : -1, events, 0});
  }
  int rc;
  while ((rc = ::poll(polled.data(), polled.size(), timeoutMs < 0 ? -1 : timeoutMs)) < 0 && errno == EINTR) {
  }
  for (size_t i = 0; i < watches.size(); ++i) {
    const short got = rc > 0 ? polled[i + 1].revents : 0;
    int bits = 0;
    if (got & (POLLIN | POLLHUP)) bits |= kWaitRead;
    if (got & POLLOUT) bits |= kWaitWrite;
    if (got & (POLLERR | POLLNVAL)) bits |= kWaitError;
    watches[i].ready = bits;
  }
  if (rc > 0 && (polled[0].revents & POLLIN)) {
    uint64_t count = 0;
    // Nonblocking: a second waiter's read of the same wake finds nothing and that is fine.
    [[maybe_unused]] const ssize_t n = ::read(wakeHandle_, &count, sizeof count);
  }
  return rc > 0;
}

void WakeableWait::Wake() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wakeHandle_, &one, sizeof one);
}

}  // namespace platform
