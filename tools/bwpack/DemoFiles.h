#pragma once
#include <string>

namespace bwpack {

// Writes the five files of a demo package into folder: the package's own names, contents that
// are the same on every machine, and small sizes, or with scale the full sizes (6.2 GB).
bool WriteDemoFiles(const std::string& folder, bool scale, std::string* error);

}  // namespace bwpack
