#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace bw::app {

// Standard base64 (RFC 4648 alphabet, "=" padding), the storage form of the built-in texts.

std::string EncodeBase64(std::string_view bytes);

// A length that is not a multiple of four, or a character outside the alphabet, gives the empty
// text; "=" in the third or fourth place of a group ends the output. At most maxBytes come out.
std::string DecodeBase64(std::string_view text, size_t maxBytes);

}  // namespace bw::app
