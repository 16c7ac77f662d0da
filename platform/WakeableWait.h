#pragma once
#include <span>

#include "platform/Socket.h"

namespace platform {

// One socket a WakeableWait watches: what it waits for (kWaitRead, kWaitWrite) and, after the
// wait, what it is ready for (kWaitError included).
struct SocketWatch {
  SocketHandle handle = kNoSocket;
  int what = 0;
  int ready = 0;
};

// A wait on several sockets at once that another thread can end early. A wake that comes while
// nobody waits ends the next wait at once.
class WakeableWait {
 public:
  WakeableWait();
  ~WakeableWait();
  WakeableWait(const WakeableWait&) = delete;
  WakeableWait& operator=(const WakeableWait&) = delete;

  // Waits until a watched socket is ready, Wake is called, or timeoutMs passes (0: only looks,
  // negative: no limit); sets each watch's ready bits. False when the time ran out.
  bool Wait(std::span<SocketWatch> watches, int timeoutMs);
  // Safe from any thread.
  void Wake();

 private:
  int wakeHandle_;
};

}  // namespace platform
