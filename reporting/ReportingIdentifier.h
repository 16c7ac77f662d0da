#pragma once
#include <string>

namespace bw {

// What identifies this machine to the statistics server ("0x01234567, 0x89ABCDEF"), as the
// running upload obtained it at its start; empty without an upload or when it is not usable.
std::string ReportingIdentifier();

}  // namespace bw
