#pragma once
#include <string>
#include <string_view>

namespace bw::app {

// Writes one built-in resource to the file folder/name (the folder is made when missing):
// the bytes as they are, or with base64 set the text they decode to. When that fails, the file
// goes to a folder of this process's own under the temporary folder instead. 0 when written to
// folder, 1 when to the temporary folder, -1 when to neither; *path names the file written.
int UnpackResource(std::string_view bytes, bool base64, const std::string& folder, const std::string& name,
                   std::string* path);

}  // namespace bw::app
