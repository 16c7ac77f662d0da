#pragma once
#include <string>
#include <string_view>

namespace bw {

// The request body that carries a batch: "data=" and the text with ASCII letters and digits as
// they are, a blank as "_" and every other byte as "%" and two upper-case hexadecimal digits.
std::string EncodeSubmission(std::string_view text);

}  // namespace bw
