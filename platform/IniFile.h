#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// An INI file read with the rules of the system's profile-string calls: section and key names
// compare without regard to ASCII case, names and values lose their surrounding blanks, a value
// enclosed in a matching pair of quotes (" or ') loses them, the first section and the first key
// of a name win. Lines that are neither "[section]" nor "key=value" (comments, keys before any
// section, text without "=") are ignored.
class IniFile {
 public:
  static constexpr size_t kMaxFileBytes = 1 << 20;

  // Replaces what the object held. Never fails: whatever cannot be read is skipped.
  void Parse(const char* data, size_t length);
  // false when the file cannot be read or is larger than kMaxFileBytes (the object is then empty).
  bool Load(const std::string& path);

  // The key's value in the section, or fallback when either is missing.
  std::string GetString(std::string_view section, std::string_view key, std::string_view fallback = "") const;

  // Replaces the value that GetString would find, or adds the key (and its section) at the end.
  // false, changing nothing, for a value with a line break: it would add keys of its own.
  bool SetString(std::string_view section, std::string_view key, std::string_view value);
  // The file's text: every section and key in order, values quoted where reading would change them.
  std::string Text() const;

 private:
  struct Key {
    std::string name;
    std::string value;
  };
  struct Section {
    std::string name;
    std::vector<Key> keys;
  };

  std::vector<Section> sections_;
};

}  // namespace platform
