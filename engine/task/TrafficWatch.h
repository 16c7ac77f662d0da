#pragma once
#include <cstdint>
#include <vector>

#include "engine/task/TLoopRest.h"
#include "platform/WakeableWait.h"

namespace bw {

class QSocket;

// The connections a task loop waits on between its steps, so that a step follows the traffic
// instead of a fixed pause. A socket that ended a wait without the step after it moving a byte on
// it (its peer had no use for the input yet) sits out the next wait: such input cannot keep the
// loop spinning.
class TrafficWatch {
 public:
  // Starts the set for the next wait.
  void Clear();
  // read: the socket's input may be served now (not while the download budget is spent).
  void Add(const QSocket& socket, bool read);
  // Waits on the set up to ms, or until a Wake of rest; at once when input waits where no wait
  // sees it. False when the time ran out.
  bool Wait(TLoopRest& rest, uint32_t ms);

 private:
  struct Seen {
    const QSocket* socket = nullptr;
    uint64_t moved = 0;  // bytes sent and received so far
    bool holdsInput = false;
    bool overUdp = false;
  };

  std::vector<platform::SocketWatch> watches_;
  std::vector<Seen> watched_;  // beside watches_
  std::vector<Seen> endedLast_;
};

}  // namespace bw
