#pragma once
#include <cstdint>

#include "engine/storage/TPieceBlocks.h"

namespace bw {

class IPieceSource;

// One piece of the torrent: its size, expected hash and the state of its data.
struct TPiece {
  explicit TPiece(QBufferPool& pool) : Blocks(pool) {}

  // Ordered by size: a torrent of millions of pieces holds one of these for each.
  const uint8_t* Hash = nullptr;  // 20 bytes inside the map's hash string
  TPieceBlocks Blocks;
  uint8_t* Sha1State = nullptr; // running state after HashedPrefix bytes, from the state pool
  uint8_t* AheadState = nullptr; // running state after HashedAhead bytes, from the state pool
  IPieceSource* Source = nullptr;
  int64_t LastActivity = 0;
  int32_t Index = 0;
  int32_t Size = 0;
  int32_t HashedPrefix = 0;     // bytes from the start already written and hashed
  int32_t HashedAhead = 0;      // bytes from the start hashed while arriving, written or not
  bool Skip = false;
  bool Verified = false;  // the whole data passed its hash (or is trusted)
  bool Dirty = false;     // verified whole data in memory, not yet written
  bool Hashing = false;   // whole data handed to the verifier, its verdict not yet taken
};

}  // namespace bw
