#pragma once
#include <string>

#include "engine/frame/QTMutex.h"

namespace bw {

// The engine's process-wide state. Its one instance shuts the engine down when the process ends,
// even when the application never called UninitEngine.
class CBrightwillowCore {
 public:
  static CBrightwillowCore& Instance();
  ~CBrightwillowCore();

  // Held by every task entry point for its whole duration. Task threads never take it.
  QTMutex engineLock;
  bool initialised = false;  // under engineLock
  std::string workFolder;    // under engineLock; kept, not otherwise used

 private:
  CBrightwillowCore() = default;
};

}  // namespace bw
