#include "engine/storage/TWrittenLog.h"

#include "engine/storage/DiskFault.h"
#include "engine/storage/QDiskFile.h"
#include "platform/File.h"

namespace bw {

void TWrittenLog::SetPath(const std::string& path) {
  Close();
  path_ = path;
  failed_ = false;
}

void TWrittenLog::Append(int32_t piece) {
  if (path_.empty() || failed_) return;
  QScopedLock lock(QDiskFile::DiskLock());
  if (fd_ < 0) {
    fd_ = platform::OpenFile(path_, platform::OpenMode::ReadWrite);
    end_ = fd_ >= 0 ? platform::FileSizeOf(fd_) : fd_;
    if (end_ < 0) {
      LogDiskFailure("open", path_, static_cast<int>(end_));
      Close();
      failed_ = true;
      return;
    }
  }
  const uint8_t entry[4] = {static_cast<uint8_t>(piece), static_cast<uint8_t>(piece >> 8),
                            static_cast<uint8_t>(piece >> 16), static_cast<uint8_t>(piece >> 24)};
  const int64_t written = platform::WriteAt(fd_, entry, sizeof entry, end_);
  if (written != static_cast<int64_t>(sizeof entry)) {
    LogDiskFailure("append to", path_, written < 0 ? static_cast<int>(written) : 0);
    failed_ = true;
    return;
  }
  end_ += written;
}

void TWrittenLog::Close() {
  if (fd_ >= 0) platform::CloseFile(fd_);
  fd_ = -1;
}

void TWrittenLog::Remove() {
  Close();
  if (!path_.empty()) platform::RemoveFile(path_);
}

std::vector<int32_t> TWrittenLog::Load(const std::string& path, int64_t pieceCount) {
  std::vector<int32_t> pieces;
  std::string bytes;
  // Far more than one entry a piece is no log of ours.
  const int64_t size = path.empty() ? -1 : platform::PathFileSize(path);
  if (size < 0 || size > 64 * pieceCount + 4096 || !platform::ReadWholeFile(path, &bytes)) return pieces;
  std::vector<bool> seen(static_cast<size_t>(pieceCount > 0 ? pieceCount : 0), false);
  for (size_t at = 0; at + 4 <= bytes.size(); at += 4) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data() + at);
    const int64_t piece =
        static_cast<int32_t>(uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24);
    if (piece < 0 || piece >= pieceCount || seen[static_cast<size_t>(piece)]) continue;
    seen[static_cast<size_t>(piece)] = true;
    pieces.push_back(static_cast<int32_t>(piece));
  }
  return pieces;
}

}  // namespace bw
