#include "platform/InstanceLock.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace platform {

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) close(fd_);
}

bool InstanceLock::Open() {
  if (fd_ < 0) fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  return fd_ >= 0;
}

bool InstanceLock::TryLock() {
  if (held_) return true;
  if (!Open() || flock(fd_, LOCK_EX | LOCK_NB) != 0) return false;
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(fd_, 0) != 0 || pwrite(fd_, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    flock(fd_, LOCK_UN);
    return false;
  }
  held_ = true;
  return true;
}

int InstanceLock::Holder() {
  char text[32] = {};
  if (!Open() || pread(fd_, text, sizeof text - 1, 0) <= 0) return 0;
  return std::atoi(text);
}

}  // namespace platform
