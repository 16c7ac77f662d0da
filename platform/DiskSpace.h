#pragma once
#include <cstdint>
#include <string>

namespace platform {

// Bytes available to the caller on the volume holding path, asked of the nearest folder of the
// path that exists; -1 when no folder of it can be queried.
int64_t FreeDiskSpace(const std::string& path);

}  // namespace platform
