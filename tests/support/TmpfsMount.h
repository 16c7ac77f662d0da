#pragma once
#include <filesystem>
#include <string>
#include <sys/mount.h>

namespace bw::test {

// A tmpfs of a given size mounted on a folder (tests run as root), so that a full disk is a real
// one; resized in place, unmounted with the object.
class TmpfsMount {
 public:
  TmpfsMount(const std::string& folder, const std::string& size) : folder_(folder) {
    std::filesystem::create_directories(folder_);
    mounted_ = mount("tmpfs", folder_.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
  }
  ~TmpfsMount() {
    if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
  }
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;

  bool Mounted() const { return mounted_; }
  bool Resize(const std::string& size) {
    return mount("tmpfs", folder_.c_str(), "tmpfs", MS_REMOUNT, ("size=" + size).c_str()) == 0;
  }

 private:
  std::string folder_;
  bool mounted_ = false;
};

}  // namespace bw::test
