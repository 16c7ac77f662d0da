#include "engine/storage/DiskFault.h"

#include <cerrno>
#include <string.h>

#include "engine/frame/EngineLog.h"

namespace bw {

namespace {

constexpr int kStorageChannel = 23;

}  // namespace

DiskFault ClassifyDiskError(int error) {
  if (error == 0) return DiskFault::kNone;
  // A quota that is used up is a full disk to this user.
  return error == -ENOSPC || error == -EDQUOT ? DiskFault::kNoSpace : DiskFault::kFailed;
}

void LogDiskFailure(const char* operation, const std::string& path, int error) {
  const char* text = error < 0 ? strerrordesc_np(-error) : "short transfer";
  LogPrintf(kStorageChannel, kStorageChannel, "storage: %s %s failed: %s (%d)", operation, path.c_str(),
            text ? text : "unknown error", -error);
}

}  // namespace bw
