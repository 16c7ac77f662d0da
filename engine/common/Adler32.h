#pragma once
#include <cstddef>
#include <cstdint>

namespace bw {

// Adler-32 (RFC 1950) of a buffer, continued from a caller-chosen value: its low 16 bits start
// the byte sum and its high 16 bits the sum of sums. 1 gives the standard checksum; the stored
// formats also start from a piece index, a connection identifier or an earlier checksum. An
// empty buffer gives the initial value unchanged.
uint32_t Adler32(uint32_t initial, const void* data, size_t length);

}  // namespace bw
