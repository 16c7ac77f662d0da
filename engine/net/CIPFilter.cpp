#include "engine/net/CIPFilter.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "engine/common/IntReader.h"
#include "engine/net/NetAddress.h"
#include "platform/File.h"

namespace bw {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Four decimal numbers of at most three digits and at most 255 each, separated by ".": a number
// that wrapped around would block an address the line never named.
bool ReadAddress(std::string_view text, uint32_t* out) {
  uint32_t address = 0;
  size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && (at >= text.size() || text[at++] != '.')) return false;
    uint32_t value = 0;
    int digits = 0;
    for (; at < text.size() && IsDigit(text[at]); ++at) {
      if (++digits > 3) return false;
      value = value * 10 + static_cast<uint32_t>(text[at] - '0');
    }
    if (digits == 0 || value > 255) return false;
    address = address << 8 | value;
  }
  if (at != text.size()) return false;
  *out = address;
  return true;
}

}  // namespace

int32_t CIPFilter::LoadRanges(const std::string& path) {
  const int64_t size = platform::PathFileSize(path);
  std::string text;
  if (size < 0 || size > kMaxFileSize || !platform::ReadWholeFile(path, &text)) return -1;
  return ReadRanges(text.data(), text.size());
}

int32_t CIPFilter::ReadRanges(const char* data, size_t len) {
  if (!data) return 0;
  const size_t before = ranges_.size();
  for (size_t at = 0; at < len;) {
    const void* newline = std::memchr(data + at, '\n', len - at);
    const size_t end = newline ? static_cast<size_t>(static_cast<const char*>(newline) - data) : len;
    size_t lineLen = end - at;
    if (lineLen > 0 && data[at + lineLen - 1] == '\r') --lineLen;
    uint32_t first = 0;
    uint32_t last = 0;
    if (lineLen <= kMaxLine && ReadLine(data + at, lineLen, &first, &last)) Merge(first, last);
    at = end + 1;
  }
  return static_cast<int32_t>(static_cast<int64_t>(ranges_.size()) - static_cast<int64_t>(before));
}

bool CIPFilter::ReadLine(const char* data, size_t len, uint32_t* first, uint32_t* last) const {
  std::string_view line(data, len);
  if (line.empty() || line.front() == '#') return false;
  line.remove_prefix(std::min(line.find_first_not_of(" \t"), line.size()));
  if (line.empty() || !IsDigit(line.front())) return false;
  const size_t space = line.find(' ');
  const size_t dash = line.find('-');
  if (dash == std::string_view::npos || (space != std::string_view::npos && dash > space)) return false;
  const std::string_view lastText = line.substr(dash + 1, space == std::string_view::npos ? space : space - dash - 1);
  if (!ReadAddress(line.substr(0, dash), first) || !ReadAddress(lastText, last) || *last < *first) return false;
  int32_t level = 0;
  if (space != std::string_view::npos) {
    size_t used = 0;
    level = ReadInt32(line.substr(space + 1), 10, &used);
    if (used == 0) return false;
  }
  return level < threshold;
}

// Overlapping ranges become one, so that the one found for an address is the only one that can
// hold it.
void CIPFilter::Merge(uint32_t first, uint32_t last) {
  auto it = ranges_.lower_bound(first);
  while (it != ranges_.end() && it->second <= last) {
    first = std::min(first, it->second);
    last = std::max(last, it->first);
    it = ranges_.erase(it);
  }
  ranges_.emplace(last, first);
}

bool CIPFilter::IsBlocked(uint32_t ip) const {
  if (ranges_.empty()) return false;
  const uint32_t host = NetToHost32(ip);
  const auto it = ranges_.lower_bound(host);
  return it != ranges_.end() && it->second <= host;
}

void CIPFilter::Clear() {
  threshold = kDefaultThreshold;
  ranges_.clear();
}

}  // namespace bw
