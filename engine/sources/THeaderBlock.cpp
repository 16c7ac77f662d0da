#include "engine/sources/THeaderBlock.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "engine/common/PlainFileName.h"

namespace bw {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool EqualsNoCase(char a, char b) {
  return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

// A whole non-negative decimal number that fits 63 bits, -1 otherwise.
int64_t ParseCount(std::string_view s) {
  s = TrimBlanks(s);
  if (s.empty()) return -1;
  int64_t value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return -1;
    if (value > (std::numeric_limits<int64_t>::max() - (c - '0')) / 10) return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

// The end of the header: just past the first line feed that is followed by "\r\n" or "\n".
int64_t HeaderEnd(const char* data, int64_t len) {
  for (int64_t i = 0; i < len && data[i] != 0; ++i) {
    if (data[i] != '\n') continue;
    if (i + 1 < len && data[i + 1] == '\n') return i + 2;
    if (i + 2 < len && data[i + 1] == '\r' && data[i + 2] == '\n') return i + 3;
  }
  return -1;
}

}  // namespace

int64_t THeaderBlock::Parse(const char* data, int64_t len) {
  if (!data || len < 3) return kIncomplete;
  const int64_t scan = std::min(len, kMaxHeaderSize + 3);
  const int64_t end = HeaderEnd(data, scan);
  if (end < 0 || end > kMaxHeaderSize) {
    return len > kMaxHeaderSize || std::find(data, data + scan, '\0') != data + scan ? kMalformed
                                                                                      : kIncomplete;
  }
  std::string_view text(data, static_cast<size_t>(end));
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);

  lines.clear();
  reason.clear();
  status = 0;
  for (size_t from = 0; from <= text.size();) {
    size_t to = text.find('\n', from);
    if (to == std::string_view::npos) to = text.size();
    std::string_view line = text.substr(from, to - from);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
    from = to + 1;
  }
  const std::string first = lines.front();
  if (first.compare(0, 4, "HTTP") == 0) {
    size_t at = 4;
    if (first.size() > 4 && first[4] == '/') {
      const size_t stop = std::min(first.find_first_of(" \t", 5), first.size());
      version = first.substr(5, stop - 5);
      at = stop;
    }
    while (at < first.size() && IsBlank(first[at])) ++at;
    int32_t code = 0;
    for (int digits = 0; at < first.size() && std::isdigit(static_cast<unsigned char>(first[at])) &&
                         digits < 9;
         ++at, ++digits) {
      code = code * 10 + (first[at] - '0');
    }
    status = code;
    while (at < first.size() && !IsBlank(first[at])) ++at;
    while (at < first.size() && IsBlank(first[at])) ++at;
    reason = first.substr(std::min(at, first.size()));
    lines.erase(lines.begin());
  } else if (first.find(':') == std::string::npos) {
    lines.erase(lines.begin());
  }
  return end;
}

const std::string* THeaderBlock::Find(std::string_view name) const {
  for (const std::string& line : lines) {
    if (line.size() < name.size()) continue;
    const bool same =
        caseSensitive ? line.compare(0, name.size(), name) == 0
                      : std::equal(name.begin(), name.end(), line.begin(), EqualsNoCase);
    if (!same) continue;
    size_t at = name.size();
    while (at < line.size() && IsBlank(line[at])) ++at;
    if (line.compare(at, separator.size(), separator) == 0) return &line;
  }
  return nullptr;
}

bool THeaderBlock::Has(std::string_view name) const { return Find(name) != nullptr; }

std::string THeaderBlock::Value(std::string_view name) const {
  const std::string* line = Find(name);
  if (!line) return {};
  return std::string(TrimBlanks(std::string_view(*line).substr(line->find(separator) + 1)));
}

int64_t THeaderBlock::ContentLength() const { return ParseCount(Value("Content-Length")); }

int64_t THeaderBlock::RetryAfter() const { return ParseCount(Value("Retry-After")); }

int64_t THeaderBlock::RangeStart() const {
  const std::string value = Value("Content-Range");
  std::string_view v = TrimBlanks(value);
  if (v.size() >= 6 && std::equal(v.begin(), v.begin() + 5, "bytes", EqualsNoCase)) {
    v.remove_prefix(5);
  }
  const size_t dash = v.find('-');
  return dash == std::string_view::npos ? -1 : ParseCount(v.substr(0, dash));
}

bool THeaderBlock::EncodedBody() const {
  const std::string coding = Value("Transfer-Encoding");
  static constexpr std::string_view kIdentity = "identity";
  return !coding.empty() && !(coding.size() == kIdentity.size() &&
                              std::equal(coding.begin(), coding.end(), kIdentity.begin(), EqualsNoCase));
}

int64_t THeaderBlock::RangeEnd() const {
  const std::string v = Value("Content-Range");
  const size_t dash = v.find('-');
  const size_t slash = v.find('/');
  if (dash == std::string::npos || slash == std::string::npos || slash < dash) return -1;
  return ParseCount(std::string_view(v).substr(dash + 1, slash - dash - 1));
}

int64_t THeaderBlock::RangeTotal() const {
  const std::string v = Value("Content-Range");
  const size_t slash = v.find('/');
  return slash == std::string::npos ? -1 : ParseCount(std::string_view(v).substr(slash + 1));
}

std::string THeaderBlock::DispositionName() const {
  const std::string v = Value("Content-Disposition");
  static constexpr std::string_view kKey = "filename=";
  const auto key = std::search(v.begin(), v.end(), kKey.begin(), kKey.end(), EqualsNoCase);
  if (key == v.end()) return {};
  std::string_view rest(&*key + kKey.size(), static_cast<size_t>(v.end() - key) - kKey.size());
  if (!rest.empty() && rest.front() == '"') {
    rest.remove_prefix(1);
    rest = rest.substr(0, rest.find('"'));
  } else {
    rest = rest.substr(0, rest.find(';'));
  }
  // A server names a file, never where it goes.
  return PlainFileName(rest);
}

}  // namespace bw
