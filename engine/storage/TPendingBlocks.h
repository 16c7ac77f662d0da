#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace bw {

struct TPiece;

// Writer of the pending-block file: the unverified blocks of incomplete pieces, kept across a
// stop. One record per piece: a 16-byte header (body length, checksum, piece index, 0) and a
// body (bytes held, hashed prefix, block count, 0, then per block its offset, 16384, the 16 KiB
// of data and 8 zero bytes).
class TPendingBlocks {
 public:
  static constexpr int32_t kMaxBlocks = 512;

  // Appends the record of one piece: its blocks at or beyond the hashed prefix, at most 512.
  // False when the piece has none.
  static bool AppendRecord(const uint8_t infoHash[20], const TPiece& piece, std::string* out);
  // Replaces the file durably with the records of the given pieces.
  static bool Save(const std::string& path, const uint8_t infoHash[20],
                   const std::vector<const TPiece*>& pieces);
};

}  // namespace bw
