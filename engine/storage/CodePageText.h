#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace bw {

// Conversions between a torrent's code page and the process's own text encoding. Bytes that are
// all printable ASCII, or a code page of 0, are copied as they are; a failed conversion gives an
// empty text.
std::string TextFromCodePage(std::string_view bytes, int32_t codePage);
std::string TextToCodePage(std::string_view text, int32_t codePage);

}  // namespace bw
