#include "platform/IniFile.h"

#include <algorithm>

#include "platform/File.h"

namespace platform {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string_view Unquoted(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

}  // namespace

void IniFile::Parse(const char* data, size_t length) {
  sections_.clear();
  std::string_view text(data, data ? length : 0);
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  Section* current = nullptr;
  while (!text.empty()) {
    const size_t end = text.find_first_of("\r\n");
    const std::string_view line = Trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.starts_with('[')) {
      const size_t close = line.rfind(']');
      if (close == std::string_view::npos) continue;
      sections_.push_back({std::string(Trim(line.substr(1, close - 1))), {}});
      current = &sections_.back();
      continue;
    }
    const size_t equals = line.find('=');
    if (!current || line.starts_with(';') || equals == std::string_view::npos) continue;
    current->keys.push_back({std::string(Trim(line.substr(0, equals))), std::string(Trim(line.substr(equals + 1)))});
  }
}

bool IniFile::Load(const std::string& path) {
  sections_.clear();
  const int64_t size = PathFileSize(path);
  std::string content;
  if (size < 0 || size > static_cast<int64_t>(kMaxFileBytes) || !ReadWholeFile(path, &content) ||
      content.size() > kMaxFileBytes) {
    return false;
  }
  Parse(content.data(), content.size());
  return true;
}

std::string IniFile::GetString(std::string_view section, std::string_view key, std::string_view fallback) const {
  for (const Section& s : sections_) {
    if (!SameName(s.name, section)) continue;
    for (const Key& k : s.keys) {
      if (SameName(k.name, key)) return std::string(Unquoted(k.value));
    }
    break;
  }
  return std::string(fallback);
}

bool IniFile::SetString(std::string_view section, std::string_view key, std::string_view value) {
  if (value.find_first_of("\r\n") != std::string_view::npos) return false;
  auto s =
      std::find_if(sections_.begin(), sections_.end(), [&](const Section& x) { return SameName(x.name, section); });
  if (s == sections_.end()) {
    sections_.push_back({std::string(section), {}});
    s = sections_.end() - 1;
  }
  auto k = std::find_if(s->keys.begin(), s->keys.end(), [&](const Key& x) { return SameName(x.name, key); });
  if (k == s->keys.end()) {
    s->keys.push_back({std::string(key), {}});
    k = s->keys.end() - 1;
  }
  // Blanks around a value, or quotes that enclose it, would be lost when read back.
  const bool quote = !value.empty() && (Trim(value).size() != value.size() || Unquoted(value).size() != value.size());
  k->value.clear();
  if (quote) k->value += '"';
  k->value += value;
  if (quote) k->value += '"';
  return true;
}

std::string IniFile::Text() const {
  std::string text;
  for (const Section& s : sections_) {
    if (!text.empty()) text += "\n";
    text.append("[").append(s.name).append("]\n");
    for (const Key& k : s.keys) text.append(k.name).append("=").append(k.value).append("\n");
  }
  return text;
}

}  // namespace platform
