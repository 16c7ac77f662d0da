#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// Code page 0 (and 65001) is the process's own text encoding, UTF-8 on this platform; other
// numbers are Windows code pages (936 GBK, 950 Big5, 949 Korean, 932 Shift-JIS, 1252 ...).
// Replaces `out`; false when a code page is unknown or the bytes are not valid in `fromCodePage`.
bool ConvertCodePage(std::string_view in, int32_t fromCodePage, int32_t toCodePage,
                     std::string& out);

}  // namespace platform
