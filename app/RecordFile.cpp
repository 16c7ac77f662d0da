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
  std::lock_guard guard(RecordLock());
  platform::IniFile ini;
  ini.Load(path_);
  // The sizes are rewritten ten times a second: an unchanged value costs no flush.
  if (platform::PathFileSize(path_) >= 0 && ini.GetString(section, key, "\n") == value) return true;
  if (!ini.SetString(section, key, value)) return false;
  const std::string text = ini.Text();
  return platform::ReplaceFileDurably(path_, text.data(), text.size()) == 0;
}

void RecordFile::Remove() const {
  std::lock_guard guard(RecordLock());
  platform::RemoveFile(path_);
}

}  // namespace bw::app
