#pragma once
#include <cstdint>

namespace platform {

// Fills out with a random (version 4, RFC 4122 variant) UUID; false when no randomness is available.
bool NewUuid(uint8_t out[16]);

}  // namespace platform
