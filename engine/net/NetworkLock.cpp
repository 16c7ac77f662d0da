#include "engine/net/NetworkLock.h"

namespace bw {

QTMutex& NetworkLock() {
  // Never destroyed: sockets may still be closed by threads that outlive static destruction.
  static QTMutex* lock = new QTMutex;
  return *lock;
}

}  // namespace bw
