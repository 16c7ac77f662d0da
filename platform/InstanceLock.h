#pragma once
#include <string>

namespace platform {

// An exclusive lock on a file, held until the object goes (or the process ends), with the
// holder's process id written in it so that others can tell who holds it.
class InstanceLock {
 public:
  explicit InstanceLock(std::string path) : path_(std::move(path)) {}
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // True when this process holds the lock now (its id written), false while another holds it.
  bool TryLock();
  // The process id the holder wrote, 0 when none can be read.
  int Holder();
  const std::string& Path() const { return path_; }

 private:
  bool Open();

  std::string path_;
  int fd_ = -1;
  bool held_ = false;
};

}  // namespace platform
