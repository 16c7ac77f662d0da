#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

// The header of one HTTP response, read from received bytes without reading past them.
class THeaderBlock {
 public:
  // A header that has not ended within this many bytes fails the connection.
  static constexpr int64_t kMaxHeaderSize = 16384;
  static constexpr int64_t kIncomplete = 0;
  static constexpr int64_t kMalformed = -1;

  // Returns the header length (to be consumed), kIncomplete while its end is not held yet, or
  // kMalformed for a header that is too large.
  int64_t Parse(const char* data, int64_t len);

  // The value of the first line named `name` (letters in any case), "" when there is none.
  std::string Value(std::string_view name) const;
  bool Has(std::string_view name) const;

  // Content-Length, -1 when absent or not a number.
  int64_t ContentLength() const;
  // Content-Range "bytes first-last/total": the first byte and the total, -1 when unknown.
  int64_t RangeStart() const;
  // The body is encoded for the transfer (chunked, say): its bytes are not the file's.
  bool EncodedBody() const;
  // The last byte a Content-Range names, -1 without one.
  int64_t RangeEnd() const;
  int64_t RangeTotal() const;
  // Retry-After in seconds; -1 without one or for a date.
  int64_t RetryAfter() const;
  // The plain file name of Content-Disposition; "" when there is none or it is unusable.
  std::string DispositionName() const;

  std::vector<std::string> lines;
  std::string reason;
  int32_t status = 0;
  bool caseSensitive = false;
  std::string separator = ":";
  std::string version = "1.0";

 private:
  const std::string* Find(std::string_view name) const;
};

}  // namespace bw
