#pragma once
#include "engine/frame/QTMutex.h"

namespace bw {

// The registry lock: it guards the task registry and the process-wide state that tasks share
// (the timer thread, swarm and limit state). Take it after a task's own lock, never before.
QTMutex& RegistryLock();

}  // namespace bw
