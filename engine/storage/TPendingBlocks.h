#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bw {

struct TPiece;

// The pending-block file: the unverified blocks of incomplete pieces, kept across a stop. One
// record per piece: a 16-byte header (body length, checksum, piece index, 0) and a body (bytes
// held, hashed prefix, block count, 0, then per block its offset, 16384, the 16 KiB of data and 8
// zero bytes). The writer and the reader side by side.
class TPendingBlocks {
 public:
  static constexpr int32_t kMaxBlocks = 512;
  static constexpr int32_t kHeaderSize = 16;

  // What a record must fit: the torrent's info hash (its checksum seed) and its piece table.
  struct Layout {
    const uint8_t* infoHash;  // 20 bytes
    int64_t pieceLength;
    int64_t totalLength;
  };
  struct Block {
    int32_t offset;
    const uint8_t* data;  // 16 KiB, of which a short last block of the piece uses its length
  };
  // One sound record: its blocks lie at or beyond the hashed prefix, on 16 KiB boundaries inside
  // the piece, each once, and hold at least the bytes the body states.
  struct Record {
    int32_t index = 0;
    int32_t held = 0;
    int32_t part = 0;  // the hashed prefix the blocks continue
    std::vector<Block> blocks;
  };

  // Appends the record of one piece: its blocks at or beyond the hashed prefix, at most 512.
  // False when the piece has none.
  static bool AppendRecord(const uint8_t infoHash[20], const TPiece& piece, std::string* out);
  // Replaces the file durably with the records of the given pieces.
  static bool Save(const std::string& path, const uint8_t infoHash[20], const std::vector<const TPiece*>& pieces);

  // The records of `data` up to its end or its first record that is not sound; the blocks point
  // into `data`.
  static std::vector<Record> Decode(const uint8_t* data, size_t size, const Layout& layout);
  // Reads the file one record at a time, handing each sound record to `take` until it returns
  // false or a record is not sound; false when the file cannot be opened.
  static bool Load(const std::string& path, const Layout& layout, const std::function<bool(const Record&)>& take);
};

}  // namespace bw
