#include "engine/frame/EngineLog.h"

namespace bw {

// Placeholder until the engine log lands.
void LogWrite(const char*, int, int) {}
void LogPrintf(int, int, const char*, ...) {}

}  // namespace bw
