#pragma once
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bw::app {

// The application's record file, an INI file. Every read and write in the process goes through
// one lock (the controller, the windows and their workers all use it), and every change replaces
// the file whole: a temporary file, flushed to disk, renamed over it. A kill or a power loss leaves
// the old or the new record, never a blank or torn one.
class RecordFile {
 public:
  explicit RecordFile(std::string path = "") : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }
  void SetPath(std::string path) { path_ = std::move(path); }

  bool Exists() const;
  // The value, or "" when the file, the section or the key is missing.
  std::string Read(std::string_view section, std::string_view key) const;
  // false when the record could not be written (or a value holds a line break).
  bool Write(std::string_view section, std::string_view key, std::string_view value) const;
  // Several keys of a section in one replacement of the file.
  bool Write(std::string_view section, const std::vector<std::pair<std::string, std::string>>& values) const;
  void Remove() const;

 private:
  std::string path_;
};

}  // namespace bw::app
