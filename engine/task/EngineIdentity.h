#pragma once
#include <cstdint>

namespace bw {

// The engine identifier: a random UUID made once per process, never starting with a 0 byte.
const uint8_t* EngineIdentifier();

}  // namespace bw
