#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bw {

// The piece map's records kept in the task info file: the resume record ("bits") and the file
// selection list ("part"), each encoder beside its decoder. Decoding takes any bytes and yields
// only what is well formed; whether it fits the torrent is for the piece map to judge.
class TResumeRecord {
 public:
  static constexpr size_t kStateSize = 104;  // a running SHA-1 state

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

  // A decoded record. Readers take values by position: a file is its path followed by "Low",
  // "High" and "Size" (and perhaps "Priority"); a piece entry counts only with its checksum right.
  struct SavedFile {
    std::string path;
    int64_t low = 0;
    int64_t high = 0;
    int64_t size = 0;
    bool hasPriority = false;
    int64_t priority = 0;
  };
  struct SavedPiece {
    int64_t index = 0;
    int64_t part = 0;
    std::array<uint8_t, kStateSize> state{};
  };
  struct Saved {
    bool hasInfoHash = false;
    std::array<uint8_t, 20> infoHash{};
    std::vector<SavedFile> files;
    std::string bitfield;
    std::vector<SavedPiece> pieces;

    // The first file entry recorded under this path.
    const SavedFile* FindFile(const std::string& path) const;
  };

  // infoHash may be none. False when an element cannot be built (an empty path ends the files).
  static bool Encode(const uint8_t* infoHash, const std::vector<FileFacts>& files,
                     const std::vector<PartialPiece>& partial, const std::string& bitfield, std::string* out);
  // False when the bytes are not a dictionary with a "BitField" string and a "PieceStatus" list.
  static bool Decode(const std::string& bytes, Saved* out);

  // Two elements per file: its relative path carrying 1 when deselected (bare when selected),
  // then an empty dictionary.
  static bool EncodeFileSelection(const std::vector<std::pair<std::string, bool>>& files, std::string* out);
  // The paths flagged deselected; false when the bytes are not a non-empty list.
  static bool DecodeFileSelection(const std::string& bytes, std::vector<std::string>* deselected);
};

}  // namespace bw
