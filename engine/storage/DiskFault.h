#pragma once
#include <string>

namespace bw {

// How a failed file operation is taken: a full disk is waited out (the task reports it and may
// go on once space is back); any other failure means the file cannot be used.
enum class DiskFault { kNone, kNoSpace, kFailed };

// error: 0 or a negative errno, as the platform layer returns it.
DiskFault ClassifyDiskError(int error);

// Writes "storage: <operation> <path> failed: <system error text>" to the engine log.
void LogDiskFailure(const char* operation, const std::string& path, int error);

}  // namespace bw
