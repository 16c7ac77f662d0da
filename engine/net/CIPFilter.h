#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace bw {

// Ranges of IPv4 addresses that are never dialled nor accepted, read from a text file of lines
// "FIRST-LAST LEVEL" (dotted quads, no blanks around the dash); a line blocks its range when its
// level is below the threshold (a line without a level blocks too). Empty lines, lines starting
// with "#" and lines that do not read so are ignored.
class CIPFilter {
 public:
  static constexpr int32_t kDefaultThreshold = 127;
  // A longer line is ignored whole: cut into pieces, its tail could read as a range of its own.
  static constexpr size_t kMaxLine = 510;
  // A larger file is not read at all: the filter would hold more than any list has.
  static constexpr int64_t kMaxFileSize = int64_t{128} << 20;

  virtual ~CIPFilter() = default;

  // The number of ranges the filter gained (merged ranges count as one), -1 when the file
  // cannot be read.
  int32_t LoadRanges(const std::string& path);
  // The same for the text of a filter file.
  int32_t ReadRanges(const char* data, size_t len);
  // ip in network order. An empty filter blocks nothing.
  bool IsBlocked(uint32_t ip) const;
  void Clear();
  bool IsEmpty() const { return ranges_.empty(); }
  // The blocked ranges, host order, keyed by their last address; none overlaps another.
  const std::map<uint32_t, uint32_t>& Ranges() const { return ranges_; }

  int32_t threshold = kDefaultThreshold;

 private:
  bool ReadLine(const char* line, size_t len, uint32_t* first, uint32_t* last) const;
  void Merge(uint32_t first, uint32_t last);

  std::map<uint32_t, uint32_t> ranges_;  // last → first
};

}  // namespace bw
