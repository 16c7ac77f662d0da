#include "engine/storage/QIntegerElement.h"

#include <charconv>
#include <cstring>

namespace bw {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The bytes a number may span up to its delimiter: digits, and also blanks, signs and
// punctuation, which have always been tolerated there.
const char* SkipNumberBytes(const char* p, const char* end) {
  while (p != end && *p >= 0x01 && *p <= '9') ++p;
  return p;
}

// The engine's decimal form (leading blanks and tabs, optional sign, digits), bounded by `end`.
// False when the magnitude exceeds maxPositive (one more for a negative number).
bool ReadDecimal(const char* p, const char* end, uint64_t maxPositive, int64_t& value) {
  while (p != end && (*p == ' ' || *p == '\t')) ++p;
  bool negative = false;
  if (p != end && (*p == '-' || *p == '+')) {
    negative = *p == '-';
    ++p;
  }
  const uint64_t limit = maxPositive + (negative ? 1 : 0);
  uint64_t magnitude = 0;
  for (; p != end && IsDigit(*p); ++p) {
    const unsigned digit = static_cast<unsigned>(*p - '0');
    if (magnitude > (limit - digit) / 10) return false;
    magnitude = magnitude * 10 + digit;
  }
  value = static_cast<int64_t>(negative ? 0 - magnitude : magnitude);
  return true;
}

struct Decimal {
  char text[24];
  int64_t size;
  explicit Decimal(int64_t value) {
    size = std::to_chars(text, text + sizeof text, value).ptr - text;
  }
};

}  // namespace

QIntegerElement::QIntegerElement() : QElement(kStringType) {}

bool QIntegerElement::Create(const char* bytes, int64_t length, int64_t integer,
                             bool hasInteger) {
  Reset();
  if (!bytes) return false;
  if (length < 0) length = static_cast<int64_t>(std::strlen(bytes));
  if (length > kMaxLength || (length == 0 && (integer != 0 || hasInteger))) return false;
  bytes_.assign(bytes, static_cast<size_t>(length));
  integer_ = integer;
  hasInteger_ = hasInteger;
  parsedType_ = kStringType;
  encodedLength_ = Decimal(length).size + 1 + length;
  if (HasAnInteger()) encodedLength_ += Decimal(integer).size + 2;
  return true;
}

int64_t QIntegerElement::Parse(const char* text, int64_t length) {
  Reset();
  if (!text || length <= 0 || !IsDigit(text[0])) return 0;
  const char* const end = text + length;
  int64_t size = 0;
  if (!ReadDecimal(text, end, kMaxLength, size)) return -1;
  const char* p = SkipNumberBytes(text, end);
  if (p == end || *p != ':') return -1;
  ++p;
  if (size > end - p) return -3;

  int64_t integer = 0;
  const char* next = p + size;
  const bool withInteger = next != end && (*next == 'i' || *next == 'I');
  if (withInteger) {
    const char* const digits = next + 1;
    const char* const close = SkipNumberBytes(digits, end);
    if (close == end || *close != 'e') return -1;
    if (!ReadDecimal(digits, close, INT64_MAX, integer)) return -1;
    next = close + 1;
  }
  bytes_.assign(p, static_cast<size_t>(size));
  integer_ = integer;
  hasInteger_ = withInteger;
  source_ = text;
  parsedType_ = kStringType;
  encodedLength_ = next - text;
  return encodedLength_;
}

void QIntegerElement::GetString(std::string& out, std::string_view) const {
  out.assign(ByteView());
}

bool QIntegerElement::Write(std::string& out) const {
  if (!IsValid()) return false;
  const Decimal size(static_cast<int64_t>(bytes_.size()));
  out.append(size.text, static_cast<size_t>(size.size));
  out += ':';
  out += bytes_;
  if (HasAnInteger()) {
    const Decimal integer(integer_);
    out += 'i';
    out.append(integer.text, static_cast<size_t>(integer.size));
    out += 'e';
  }
  return true;
}

}  // namespace bw
