#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/frame/QTMutex.h"
#include "platform/File.h"

namespace bw {

// Thin wrapper around one open data file. Failures keep the system error (LastError, a negative
// errno) so a full disk can be told apart from a broken one. Written data goes on to disk behind the writer and leaves
// the page cache once there, so a large download neither floods the cache nor leaves all the writing to the closing
// sync.
class QDiskFile {
 public:
  enum Mode { kClosed, kReadOnly, kReadWrite, kCreate };

  QDiskFile() = default;
  ~QDiskFile() { Close(); }
  QDiskFile(const QDiskFile&) = delete;
  QDiskFile& operator=(const QDiskFile&) = delete;
  QDiskFile(QDiskFile&& other) noexcept;
  QDiskFile& operator=(QDiskFile&& other) noexcept;

  // Read-only opens an existing file; read-write creates a missing one; create truncates.
  bool Open(const std::string& path, Mode mode, bool sequential = false);
  // Flushes written data to stable storage first, so a closed file is a durable file; false when
  // that failed.
  bool Close();
  bool IsOpen() const { return fd_ >= 0; }
  Mode OpenMode() const { return mode_; }
  bool Writable() const { return mode_ == kReadWrite || mode_ == kCreate; }

  // A negative position means the current position. Bytes moved, or -1.
  int64_t Read(void* buffer, int64_t length, int64_t position);
  int64_t Write(const void* buffer, int64_t length, int64_t position);
  // Writes runs of memory that follow one another in the file with one call; without `behind`
  // the caller does the write-behind itself, once it no longer holds the disk lock.
  int64_t WriteRuns(const std::vector<platform::ByteRun>& runs, int64_t position, bool behind = true);
  // Starts the write-back of bytes just written and waits for the oldest range once too much is
  // under way.
  void WriteBehind(int64_t position, int64_t length);

  int64_t Size();  // -1 on failure
  bool Truncate(int64_t size);
  // Reserves every block up to size, so later writes cannot hit a full disk.
  bool Allocate(int64_t size);
  // Syncs only when something was written since the last sync.
  bool Sync();
  bool LastWriteTime(uint64_t* time);

  bool Unsynced() const { return unsynced_; }
  int LastError() const { return lastError_.load(std::memory_order_relaxed); }
  // The first failure to make written data durable (sync, write-back, close) since it was last
  // taken, kept across a close: the system reports such a failure only once. 0 when none.
  int TakeDurabilityError() { return std::exchange(durabilityError_, 0); }

  // Serialises every data-file read and write of all tasks.
  static QTMutex& DiskLock();

 private:
  struct Range {
    int64_t position;
    int64_t length;
  };
  // Bytes whose write-back may still be running before the writer waits for the oldest.
  static constexpr int64_t kWriteBehindBytes = 16 << 20;
  // Consecutive writes join one range up to this size.
  static constexpr int64_t kRangeBytes = 1 << 20;

  bool Check(int64_t result);
  // Keeps a failure to make data durable; true when there was none.
  bool CheckDurable(int result);
  void FinishWriteBehind();

  int fd_ = -1;
  Mode mode_ = kClosed;
  int64_t position_ = 0;
  // A writer's thread may fail while the task thread looks at the file's size.
  std::atomic<int> lastError_ = 0;
  int durabilityError_ = 0;
  bool unsynced_ = false;
  std::vector<Range> behind_;  // oldest first
  int64_t behindBytes_ = 0;
};

}  // namespace bw
