#include "engine/frame/RegistryLock.h"

namespace bw {

QTMutex& RegistryLock() {
  // Never destroyed: task threads may still take it while the process exits.
  static QTMutex* lock = new QTMutex;
  return *lock;
}

}  // namespace bw
