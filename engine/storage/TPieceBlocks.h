#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/common/BlockSize.h"

namespace bw {

class QBufferPool;

// The data of one piece held in memory: chunks of min(piece size, 128 KiB), taken from a pool
// on first use, and which 16 KiB blocks are present. A piece without data in memory keeps only
// its size: a torrent of millions of pieces pays for the few that are arriving.
class TPieceBlocks {
 public:
  static constexpr int32_t kChunkSize = 128 * 1024;

  TPieceBlocks() = default;
  ~TPieceBlocks() { Clear(); }
  TPieceBlocks(const TPieceBlocks&) = delete;
  TPieceBlocks& operator=(const TPieceBlocks&) = delete;
  TPieceBlocks(TPieceBlocks&& other) noexcept;
  TPieceBlocks& operator=(TPieceBlocks&& other) noexcept;

  // Sizes the layout for a piece; forgets any data.
  void Init(int32_t pieceSize);
  // Returns every chunk to the pool.
  void Clear();

  int32_t PieceSize() const { return pieceSize_; }
  int32_t ChunkSize() const { return std::min(pieceSize_, kChunkSize); }
  int32_t BytesHeld() const { return held_ ? held_->bytes : 0; }
  bool Empty() const { return BytesHeld() == 0; }
  // Length of the block at a block-aligned offset (shorter only at the piece's end); 0 outside.
  int32_t BlockLength(int32_t offset) const;
  bool Has(int32_t offset) const;
  // Every block overlapping [offset, offset + length) is present.
  bool HasRange(int32_t offset, int32_t length) const;
  // Bytes of consecutive blocks present from a block-aligned offset.
  int32_t RunFrom(int32_t offset) const;
  // True when some block at or after offset is present.
  bool AnyFrom(int32_t offset) const;

  // Stores one whole block, its chunk taken from `pool` (the pool of every chunk until the
  // blocks are empty again); false when the offset or length is not a block of this piece or
  // memory is short. A block already present is left as it is (true).
  bool Store(QBufferPool& pool, int32_t offset, const uint8_t* data, int32_t length);
  // The memory of the absent blocks from offset on that start in offset's chunk before
  // offset + length, for receiving them in place (the chunk taken from `pool` as Store takes it);
  // Store then finds a block's data where it belongs and copies nothing. Empty when the block at
  // offset is present or not one of this piece, or memory is short.
  std::span<uint8_t> Space(QBufferPool& pool, int32_t offset, int32_t length);
  // Copies bytes of present blocks out.
  void CopyOut(int32_t offset, int32_t length, uint8_t* out) const;
  // Calls fn(data, length) for each stretch of [offset, offset + length) that lies in one chunk,
  // in order; every block in the range must be present.
  template <class Fn>
  void ForEachRun(int32_t offset, int32_t length, Fn&& fn) const {
    const int32_t chunkSize = ChunkSize();
    while (length > 0) {
      const int32_t inChunk = offset % chunkSize;
      const int32_t n = std::min(length, chunkSize - inChunk);
      fn(static_cast<const uint8_t*>(held_->chunks[static_cast<size_t>(offset / chunkSize)] + inChunk), n);
      offset += n;
      length -= n;
    }
  }
  // Returns the chunks wholly inside [0, end) to the pool and forgets their blocks; false when
  // end is not on a chunk boundary.
  bool ReleasePrefix(int32_t end);

 private:
  struct Held {
    QBufferPool* pool;
    std::vector<uint8_t*> chunks;
    std::vector<bool> present;
    int32_t bytes = 0;
  };
  bool Present(size_t block) const { return held_ && held_->present[block]; }
  // The chunk that holds offset, taken from the pool on first use; nullptr when memory is short.
  uint8_t* ChunkFor(QBufferPool& pool, int32_t offset);

  std::unique_ptr<Held> held_;  // only while some data is in memory
  int32_t pieceSize_ = 0;
};

}  // namespace bw
