#include "platform/DiskSpace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace platform {

int64_t DiskFreeBytes(const char* path) {
  if (!path || !path[0]) return -1;
  // A save folder is often asked about before it is created: climb to what exists, ending at the
  // current folder for a relative path.
  std::string folder = path[0] == '/' ? std::string(path) : "./" + std::string(path);
  struct statvfs fs {};
  while (statvfs(folder.c_str(), &fs) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) return -1;
    const size_t slash = folder.find_last_of('/');
    if (slash == std::string::npos || folder == "/" || folder == ".") return -1;
    folder.resize(slash == 0 ? 1 : slash);
  }
  return static_cast<int64_t>(fs.f_bavail * fs.f_frsize);
}

SizeQuery AllocatedSize(const char* path, uint64_t* bytes) {
  if (!path || !bytes) return SizeQuery::kOpenFailed;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? SizeQuery::kNotFound : SizeQuery::kOpenFailed;
  struct stat st {};
  const bool ok = fstat(fd, &st) == 0;
  close(fd);
  if (!ok) return SizeQuery::kQueryFailed;
  *bytes = static_cast<uint64_t>(st.st_blocks) * 512u;
  return SizeQuery::kOk;
}

}  // namespace platform
