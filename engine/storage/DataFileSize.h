#pragma once
#include <cstdint>

namespace bw {

// Space a data file occupies on disk, or that of its in-progress ".bwtmp" file; 0 when neither
// exists, -1 when it cannot be opened, -2 when it cannot be measured.
int64_t DataFileSizeOnDisk(const char* path);

}  // namespace bw
