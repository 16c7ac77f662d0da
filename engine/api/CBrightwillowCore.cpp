#include "engine/api/CBrightwillowCore.h"

#include "engine/api/EngineApi.h"

namespace bw {

CBrightwillowCore& CBrightwillowCore::Instance() {
  static CBrightwillowCore core;
  return core;
}

CBrightwillowCore::~CBrightwillowCore() { UninitEngine(); }

}  // namespace bw
