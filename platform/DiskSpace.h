#pragma once
#include <cstdint>

namespace platform {

// Bytes available to the caller on the file system holding path, absolute or relative to the
// current folder; it need not exist yet (the nearest existing folder above it is asked). -1 on
// failure.
int64_t DiskFreeBytes(const char* path);

enum class SizeQuery { kOk, kNotFound, kOpenFailed, kQueryFailed };

// The space a file really occupies on disk (less than its length when it is sparse).
SizeQuery AllocatedSize(const char* path, uint64_t* bytes);

}  // namespace platform
