#include "engine/common/IntReader.h"

namespace bw {
namespace {

template <typename U>
U ReadUnsigned(std::string_view text, int maxDigits, size_t* used, bool* negative) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  *negative = false;
  unsigned base = 10;
  if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  } else if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    *negative = text[i] == '-';
    ++i;
  }
  U value = 0;
  int digits = 0;
  for (; i < text.size() && digits < maxDigits; ++i, ++digits) {
    const char c = text[i];
    unsigned d;
    if (c >= '0' && c <= '9') {
      d = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      d = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      d = static_cast<unsigned>(c - 'A' + 10);
    } else {
      break;
    }
    value = static_cast<U>(value * base + d);
  }
  if (used) *used = digits ? i : 0;
  return *negative ? static_cast<U>(0 - value) : value;
}

}  // namespace

int32_t ReadInt32(std::string_view text, int maxDigits, size_t* used) {
  bool negative;
  return static_cast<int32_t>(ReadUnsigned<uint32_t>(text, maxDigits, used, &negative));
}

int64_t ReadInt64(std::string_view text, int maxDigits, size_t* used) {
  bool negative;
  return static_cast<int64_t>(ReadUnsigned<uint64_t>(text, maxDigits, used, &negative));
}

}  // namespace bw
