#pragma once
#include <string>
#include <string_view>

namespace bw {

// Rules for names that come from a torrent and become paths under the save folder.

// A name from a torrent may become one path component only when it cannot leave its folder:
// not empty, not "." or "..", and without '/' or NUL inside.
bool IsSafePathComponent(std::string_view name);

// Characters that no file name of ours may carry ('?', CR, LF) become '_'.
std::string CleanPathText(std::string path);

// The folder with a trailing '/', or "" for the current folder.
std::string WithTrailingSlash(std::string folder);

}  // namespace bw
