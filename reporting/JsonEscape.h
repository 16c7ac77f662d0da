#pragma once
#include <string>
#include <string_view>

namespace bw {

// Appends text as the inside of a JSON string: quotes, backslashes and control characters are
// escaped, and bytes that are not UTF-8 become U+FFFD, so whatever a caller passes (a file name
// with quotes, a message in another code page) leaves the document well formed.
void AppendJsonEscaped(std::string& out, std::string_view text);

}  // namespace bw
