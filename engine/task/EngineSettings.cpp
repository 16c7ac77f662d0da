#include "engine/task/EngineSettings.h"

namespace bw {

EngineSettings& ProcessSettings() {
  // Never destroyed: task threads may read it while the process exits.
  static EngineSettings* settings = new EngineSettings;
  return *settings;
}

}  // namespace bw
