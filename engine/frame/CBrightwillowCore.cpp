#include "engine/frame/CBrightwillowCore.h"

#include "engine/frame/EngineApi.h"

namespace bw {

CBrightwillowCore& CBrightwillowCore::Instance() {
  static CBrightwillowCore core;
  return core;
}

CBrightwillowCore::~CBrightwillowCore() { UninitEngine(); }

}  // namespace bw
