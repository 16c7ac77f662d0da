#pragma once
#include <string>
#include <string_view>

namespace bw {

// The last path element of a name that came from outside (a server, an address), without
// control bytes; empty when nothing usable is left ("", "." and ".."). Never a path.
std::string PlainFileName(std::string_view name);

}  // namespace bw
