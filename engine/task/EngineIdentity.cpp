#include "engine/task/EngineIdentity.h"

#include <mutex>

#include "platform/Clock.h"
#include "platform/Thread.h"
#include "platform/Uuid.h"

namespace bw {

const uint8_t* EngineIdentifier() {
  static uint8_t id[16];
  static std::once_flag made;
  std::call_once(made, [] {
    if (!platform::NewUuid(id)) {
      // Without system randomness the identifier must still differ between engines.
      const uint64_t seed = platform::SystemTimeSeconds() ^ (uint64_t{platform::CurrentThreadId()} << 32) ^
                            platform::TickCountMs();
      for (int i = 0; i < 16; ++i) id[i] = static_cast<uint8_t>(seed >> ((i % 8) * 8)) ^ static_cast<uint8_t>(i * 37);
    }
    if (id[0] == 0) id[0] = 1;
  });
  return id;
}

}  // namespace bw
