#pragma once
#include <cstdint>
#include <functional>
#include <span>

#include "platform/WakeableWait.h"

namespace bw {

// Where a task loop waits between its steps: a wait that an outside request (a stop, a read of
// the data, a new limit) ends at once instead of at the next due time, and that traffic on the
// task's connections ends as soon as it can be served.
class TLoopRest {
 public:
  // Waits up to ms, or until Wake, or until keepResting (asked every quarter second) says no.
  void Rest(uint32_t ms, const std::function<bool()>& keepResting);
  // Waits up to ms, or until Wake, or until one of the sockets is ready (their ready bits tell);
  // false when the time ran out.
  bool Watch(std::span<platform::SocketWatch> sockets, uint32_t ms);
  void Wake() { wait_.Wake(); }
  // For those that wake the loop on traffic of their own (the stream transport on UDP).
  platform::WakeableWait& Waiter() { return wait_; }

 private:
  platform::WakeableWait wait_;
};

}  // namespace bw
