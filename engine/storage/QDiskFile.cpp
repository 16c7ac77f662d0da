#include "engine/storage/QDiskFile.h"

#include <cstddef>
#include <utility>

#include "platform/File.h"

namespace bw {

QDiskFile::QDiskFile(QDiskFile&& other) noexcept { *this = std::move(other); }

QDiskFile& QDiskFile::operator=(QDiskFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    mode_ = std::exchange(other.mode_, kClosed);
    position_ = other.position_;
    lastError_ = other.LastError();
    durabilityError_ = std::exchange(other.durabilityError_, 0);
    unsynced_ = std::exchange(other.unsynced_, false);
    behind_ = std::exchange(other.behind_, {});
    behindBytes_ = std::exchange(other.behindBytes_, 0);
  }
  return *this;
}

bool QDiskFile::Check(int64_t result) {
  if (result < 0) lastError_ = static_cast<int>(result);
  return result >= 0;
}

bool QDiskFile::CheckDurable(int result) {
  if (!Check(result)) {
    if (durabilityError_ == 0) durabilityError_ = result;
    return false;
  }
  return true;
}

bool QDiskFile::Open(const std::string& path, Mode mode, bool sequential) {
  Close();
  if (mode == kClosed) return false;
  platform::OpenMode how = mode == kReadOnly    ? platform::OpenMode::ReadOnly
                           : mode == kReadWrite ? platform::OpenMode::ReadWrite
                                                : platform::OpenMode::Create;
  int fd = platform::OpenFile(path, how);
  if (!Check(fd)) return false;
  fd_ = fd;
  mode_ = mode;
  position_ = 0;
  lastError_ = 0;
  if (sequential) platform::AdviseSequential(fd_);
  return true;
}

bool QDiskFile::Close() {
  if (fd_ < 0) return true;
  const int before = durabilityError_;
  durabilityError_ = 0;
  Sync();
  FinishWriteBehind();
  CheckDurable(platform::CloseFile(fd_));
  const bool durable = durabilityError_ == 0;
  if (before != 0) durabilityError_ = before;
  fd_ = -1;
  mode_ = kClosed;
  unsynced_ = false;
  return durable;
}

int64_t QDiskFile::Read(void* buffer, int64_t length, int64_t position) {
  if (fd_ < 0 || length < 0) return -1;
  if (position < 0) position = position_;
  int64_t n = platform::ReadAt(fd_, buffer, length, position);
  if (!Check(n)) return -1;
  position_ = position + n;
  return n;
}

int64_t QDiskFile::Write(const void* buffer, int64_t length, int64_t position) {
  if (fd_ < 0 || length < 0 || !Writable()) return -1;
  if (position < 0) position = position_;
  int64_t n = platform::WriteAt(fd_, buffer, length, position);
  if (!Check(n)) return -1;
  if (n > 0) {
    unsynced_ = true;
    WriteBehind(position, n);
  }
  position_ = position + n;
  return n;
}

int64_t QDiskFile::WriteRuns(const std::vector<platform::ByteRun>& runs, int64_t position, bool behind) {
  if (fd_ < 0 || !Writable() || position < 0) return -1;
  int64_t n = platform::WriteRunsAt(fd_, runs.data(), runs.size(), position);
  if (!Check(n)) return -1;
  if (n > 0) {
    unsynced_ = true;
    if (behind) WriteBehind(position, n);
  }
  position_ = position + n;
  return n;
}

void QDiskFile::WriteBehind(int64_t position, int64_t length) {
  platform::StartWriteBack(fd_, position, length);
  if (!behind_.empty() && behind_.back().position + behind_.back().length == position &&
      behind_.back().length < kRangeBytes) {
    behind_.back().length += length;
  } else {
    behind_.push_back({position, length});
  }
  behindBytes_ += length;
  size_t done = 0;
  for (; behindBytes_ > kWriteBehindBytes; ++done) {
    CheckDurable(platform::FinishWriteBack(fd_, behind_[done].position, behind_[done].length));
    behindBytes_ -= behind_[done].length;
  }
  behind_.erase(behind_.begin(), behind_.begin() + static_cast<std::ptrdiff_t>(done));
}

void QDiskFile::FinishWriteBehind() {
  for (const Range& range : behind_) CheckDurable(platform::FinishWriteBack(fd_, range.position, range.length));
  behind_.clear();
  behindBytes_ = 0;
}

int64_t QDiskFile::Size() {
  if (fd_ < 0) return -1;
  int64_t size = platform::FileSizeOf(fd_);
  return Check(size) ? size : -1;
}

bool QDiskFile::Truncate(int64_t size) {
  if (fd_ < 0 || !Writable()) return false;
  unsynced_ = true;
  return Check(platform::Truncate(fd_, size));
}

bool QDiskFile::Allocate(int64_t size) {
  if (fd_ < 0 || !Writable()) return false;
  unsynced_ = true;
  return Check(platform::Allocate(fd_, size));
}

bool QDiskFile::Sync() {
  if (fd_ < 0 || !unsynced_) return fd_ >= 0 && durabilityError_ == 0;
  if (!CheckDurable(platform::SyncFile(fd_))) return false;
  unsynced_ = false;
  return durabilityError_ == 0;
}

bool QDiskFile::LastWriteTime(uint64_t* time) { return fd_ >= 0 && Check(platform::LastWriteTime(fd_, time)); }

QTMutex& QDiskFile::DiskLock() {
  static QTMutex lock;
  return lock;
}

}  // namespace bw
