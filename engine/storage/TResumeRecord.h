#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bw {

// Encoders of the piece map's records kept in the task info file: the resume record ("bits")
// and the file selection list ("part").
class TResumeRecord {
 public:
  struct FileFacts {
    std::string path;
    uint64_t time;  // last-write time, 100 ns units since 1601; 0 for a missing file
    int64_t size;   // -1 for a missing file
    int32_t priority;
  };
  struct PartialPiece {
    int32_t index;
    int32_t part;          // hashed prefix on disk
    const uint8_t* state;  // 104-byte SHA-1 state after `part` bytes
  };

  // infoHash may be none. False when an element cannot be built (an empty path ends the files).
  static bool Encode(const uint8_t* infoHash, const std::vector<FileFacts>& files,
                     const std::vector<PartialPiece>& partial, const std::string& bitfield,
                     std::string* out);
  // Two elements per file: its relative path carrying 1 when deselected (bare when selected),
  // then an empty dictionary.
  static bool EncodeFileSelection(const std::vector<std::pair<std::string, bool>>& files,
                                  std::string* out);
};

}  // namespace bw
