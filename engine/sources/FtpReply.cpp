#include "engine/sources/FtpReply.h"

#include <algorithm>
#include <cstring>

namespace bw {
namespace {

constexpr int kMaxSizeDigits = 18;  // any 18-digit number fits in 63 bits

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The reply code a line starts with, -1 when it starts with none.
int32_t LineCode(const char* line, int64_t len) {
  if (len < 3 || line[0] < '1' || line[0] > '5' || !IsDigit(line[1]) || !IsDigit(line[2])) return -1;
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

// Whether the bytes of an unfinished first line can still become "NNN" and a separator.
bool CouldStartReply(const char* data, int64_t len) {
  for (int64_t i = 0; i < std::min<int64_t>(len, 3); ++i) {
    if (i == 0 ? data[0] < '1' || data[0] > '5' : !IsDigit(data[i])) return false;
  }
  return len <= 3 || data[3] == ' ' || data[3] == '-' || data[3] == '\r';
}

// The length of the line at `from` without its "\r\n" (or "\n"), and where the next one begins;
// false when its end is not within `limit`.
bool NextLine(const char* data, int64_t from, int64_t limit, int64_t* lineLen, int64_t* next) {
  const void* end = std::memchr(data + from, '\n', static_cast<size_t>(limit - from));
  if (!end) return false;
  const int64_t at = static_cast<const char*>(end) - data;
  *lineLen = at - from - (at > from && data[at - 1] == '\r' ? 1 : 0);
  *next = at + 1;
  return true;
}

// Reads up to maxDigits decimal digits at text[*at]; false when there is none or more follow.
bool ReadNumber(std::string_view text, size_t* at, int maxDigits, int64_t* value) {
  int64_t v = 0;
  int digits = 0;
  for (; *at < text.size() && IsDigit(text[*at]); ++*at) {
    if (++digits > maxDigits) return false;
    v = v * 10 + (text[*at] - '0');
  }
  *value = v;
  return digits > 0;
}

void SkipBlanks(std::string_view text, size_t* at) {
  while (*at < text.size() && IsBlank(text[*at])) ++*at;
}

}  // namespace

int64_t ParseFtpReply(const char* data, int64_t len, FtpReply* out) {
  if (!data || len <= 0) return kFtpReplyIncomplete;
  const int64_t limit = std::min(len, kMaxFtpReplySize);
  const int64_t unfinished = len >= kMaxFtpReplySize ? kFtpReplyMalformed : kFtpReplyIncomplete;
  int64_t lineLen = 0;
  int64_t next = 0;
  if (!NextLine(data, 0, limit, &lineLen, &next)) {
    return CouldStartReply(data, limit) ? unfinished : kFtpReplyMalformed;
  }
  const int32_t code = LineCode(data, lineLen);
  const char separator = lineLen > 3 ? data[3] : ' ';
  if (code < 0 || (separator != ' ' && separator != '-')) return kFtpReplyMalformed;
  const int64_t firstLen = lineLen;
  // A multi-line reply ends with the first line that repeats the code with a space after it;
  // lines in between may hold anything, other codes too.
  while (separator == '-') {
    const int64_t from = next;
    if (!NextLine(data, from, limit, &lineLen, &next)) return unfinished;
    if (LineCode(data + from, lineLen) == code && (lineLen == 3 || data[from + 3] == ' ')) break;
  }
  if (out) {
    out->code = code;
    out->text.assign(data + std::min<int64_t>(4, firstLen), static_cast<size_t>(std::max<int64_t>(firstLen - 4, 0)));
  }
  return next;
}

bool ParsePasvReply(std::string_view text, uint32_t* ip, int32_t* port) {
  size_t at = text.find('(');
  at = at == std::string_view::npos ? text.find_first_of("0123456789") : at + 1;
  if (at == std::string_view::npos) return false;
  int64_t n[6];
  for (int i = 0; i < 6; ++i) {
    SkipBlanks(text, &at);
    if (!ReadNumber(text, &at, 3, &n[i]) || n[i] > 255) return false;
    SkipBlanks(text, &at);
    if (i < 5 && (at >= text.size() || text[at++] != ',')) return false;
  }
  const int32_t p = static_cast<int32_t>(n[4] * 256 + n[5]);
  if (p == 0) return false;
  const uint8_t bytes[4] = {static_cast<uint8_t>(n[0]), static_cast<uint8_t>(n[1]), static_cast<uint8_t>(n[2]),
                            static_cast<uint8_t>(n[3])};
  if (ip) std::memcpy(ip, bytes, 4);
  if (port) *port = p;
  return true;
}

bool ParseEpsvReply(std::string_view text, int32_t* port) {
  const size_t open = text.find('(');
  if (open == std::string_view::npos || text.size() - open < 4) return false;
  const char d = text[open + 1];
  if (d < 33 || d > 126 || IsDigit(d) || text[open + 2] != d || text[open + 3] != d) return false;
  size_t at = open + 4;
  int64_t value = 0;
  if (!ReadNumber(text, &at, 5, &value) || value < 1 || value > 65535) return false;
  if (text.size() - at < 2 || text[at] != d || text[at + 1] != ')') return false;
  if (port) *port = static_cast<int32_t>(value);
  return true;
}

int64_t ParseSizeReply(std::string_view text) {
  size_t at = 0;
  SkipBlanks(text, &at);
  int64_t value = 0;
  if (!ReadNumber(text, &at, kMaxSizeDigits, &value)) return -1;
  return at == text.size() || IsBlank(text[at]) ? value : -1;
}

}  // namespace bw
