#pragma once
#include <cstdint>

#include "engine/storage/TPieceBlocks.h"

namespace bw {

// One piece of the torrent: its size and the state of its data. A torrent of millions of pieces
// holds one of these for each, so what only an arriving piece needs lives elsewhere until then:
// its blocks in the blocks' own allocation, its source with the map, its expected hash in the
// map's one array of hashes.
struct TPiece {
  TPieceBlocks Blocks;
  uint8_t* Sha1State = nullptr; // running state after HashedPrefix bytes, from the state pool
  uint8_t* AheadState = nullptr; // running state after HashedAhead bytes, from the state pool
  int32_t LastActivity = 0;  // engine seconds
  int32_t Index = 0;
  int32_t Size = 0;
  int32_t HashedPrefix = 0;     // bytes from the start already written and hashed
  int32_t HashedAhead = 0;      // bytes from the start hashed while arriving, written or not
  bool Skip : 1 = false;
  bool Verified : 1 = false;  // the whole data passed its hash (or is trusted)
  bool Dirty : 1 = false;     // verified whole data in memory, not yet written
  bool Hashing : 1 = false;   // whole data handed to the verifier, its verdict not yet taken
  bool Writing : 1 = false;   // dirty data queued to be written, the result not yet taken
};

}  // namespace bw
