#include "platform/VolumeAllocation.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {
namespace {

constexpr off_t kProbeBytes = 1 << 20;

std::string NearestExistingFolder(std::string folder) {
  struct stat st {};
  while (!folder.empty() && (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
    const size_t slash = folder.find_last_of('/');
    if (slash == std::string::npos) return "";
    folder.resize(slash == 0 ? 1 : slash);
  }
  return folder;
}

}  // namespace

std::optional<VolumeAllocation> ProbeVolumeAllocation(const std::string& folder) {
  const std::string existing = NearestExistingFolder(folder);
  if (existing.empty()) return std::nullopt;
  const std::string pattern = existing + (existing.back() == '/' ? "" : "/") + ".bwprobe-XXXXXX";
  std::vector<char> path(pattern.begin(), pattern.end());
  path.push_back('\0');
  const int fd = mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  unlink(path.data());
  VolumeAllocation answer = VolumeAllocation::kReserves;
  if (fallocate(fd, 0, 0, kProbeBytes) != 0) {
    struct stat st {};
    const bool holes = ftruncate(fd, kProbeBytes) == 0 && fstat(fd, &st) == 0 && st.st_blocks * 512 < kProbeBytes;
    answer = holes ? VolumeAllocation::kSparse : VolumeAllocation::kNeither;
  }
  close(fd);
  return answer;
}

}  // namespace platform
