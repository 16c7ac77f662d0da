#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace bw {

// The engine's integer reader for numbers in texts (ports, lengths, counts): skips leading blanks
// and tabs; "0x"/"0X" starts a hexadecimal number, otherwise an optional sign is followed by
// decimal digits. At most maxDigits digits are read. ReadInt32 accumulates in 32 bits (wrapping,
// as the stored formats expect); ReadInt64 in 64 bits. *used receives the characters consumed
// (0 when no digit was read).
int32_t ReadInt32(std::string_view text, int maxDigits, size_t* used = nullptr);
int64_t ReadInt64(std::string_view text, int maxDigits, size_t* used = nullptr);

}  // namespace bw
