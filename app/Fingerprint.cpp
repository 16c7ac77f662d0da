#include "app/Fingerprint.h"

#include "platform/File.h"

namespace bw::app {

std::optional<Fingerprint> FingerprintOf(const std::string& path) {
  const int64_t size = platform::PathFileSize(path);
  if (size < 0) return std::nullopt;
  const int fd = platform::OpenFile(path, platform::OpenMode::ReadOnly);
  if (fd < 0) return std::nullopt;
  uint64_t time = 0;
  const int rc = platform::LastWriteTime(fd, &time);
  platform::CloseFile(fd);
  if (rc != 0) return std::nullopt;
  const auto bytes = static_cast<uint64_t>(size);
  return Fingerprint{static_cast<uint32_t>(time >> 32), static_cast<uint32_t>(time), static_cast<uint32_t>(bytes >> 32),
                     static_cast<uint32_t>(bytes)};
}

}  // namespace bw::app
