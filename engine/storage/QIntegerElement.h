#pragma once
#include "engine/storage/QElement.h"

namespace bw {

// A string element: a byte string with an optional attached 64-bit integer ("4:sizei5e").
class QIntegerElement final : public QElement {
 public:
  // Longest byte string accepted, parsed or created.
  static constexpr int64_t kMaxLength = INT32_MAX;

  QIntegerElement();

  // Makes this a valid created element. Refused when the bytes are missing or too long, or
  // when they are empty while an integer is given (a negative length means NUL-terminated).
  bool Create(const char* bytes, int64_t length, int64_t integer, bool hasInteger);

  int64_t Parse(const char* text, int64_t length) override;
  // The raw bytes.
  void GetString(std::string& out, std::string_view separator) const override;

 protected:
  bool Write(std::string& out) const override;
};

}  // namespace bw
