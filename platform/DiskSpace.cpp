#include "platform/DiskSpace.h"

#include <sys/statvfs.h>

namespace platform {

int64_t FreeDiskSpace(const std::string& path) {
  std::string folder = path.empty() ? std::string(".") : path;
  for (;;) {
    struct statvfs st;
    if (::statvfs(folder.c_str(), &st) == 0) {
      return static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
    }
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    size_t slash = folder.rfind('/');
    if (slash == std::string::npos) {
      if (folder == ".") return -1;
      folder = ".";
    } else if (slash == 0) {
      if (folder == "/") return -1;
      folder = "/";
    } else {
      folder.resize(slash);
    }
  }
}

}  // namespace platform
