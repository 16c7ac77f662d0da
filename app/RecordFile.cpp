#include "app/RecordFile.h"

#include <mutex>

#include "platform/File.h"
#include "platform/IniFile.h"

namespace bw::app {
namespace {

std::mutex& RecordLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

bool RecordFile::Exists() const {
  std::lock_guard guard(RecordLock());
  return platform::PathFileSize(path_) >= 0;
}

std::string RecordFile::Read(std::string_view section, std::string_view key) const {
  std::lock_guard guard(RecordLock());
  platform::IniFile ini;
  ini.Load(path_);
  return ini.GetString(section, key);
}

bool RecordFile::Write(std::string_view section, std::string_view key, std::string_view value) const {
  return Write(section, {{std::string(key), std::string(value)}});
}

bool RecordFile::Write(std::string_view section, const std::vector<std::pair<std::string, std::string>>& values) const {
  std::lock_guard guard(RecordLock());
  platform::IniFile ini;
  const bool exists = ini.Load(path_);
  // The sizes are rewritten ten times a second: unchanged values cost no flush.
  bool changed = !exists;
  for (const auto& [key, value] : values) {
    if (ini.GetString(section, key, "\n") == value) continue;
    if (!ini.SetString(section, key, value)) return false;
    changed = true;
  }
  if (!changed) return true;
  const std::string text = ini.Text();
  return platform::ReplaceFileDurably(path_, text.data(), text.size()) == 0;
}

void RecordFile::Remove() const {
  std::lock_guard guard(RecordLock());
  platform::RemoveFile(path_);
}

}  // namespace bw::app
