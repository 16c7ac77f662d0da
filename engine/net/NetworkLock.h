#pragma once
#include "engine/frame/QTMutex.h"

namespace bw {

// The engine's network lock: guards the process-wide proxy record and the failed-host set.
QTMutex& NetworkLock();

}  // namespace bw
