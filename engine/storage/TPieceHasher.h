#pragma once
#include <cstdint>

namespace bw {

class QBufferPool;
struct TPiece;

// SHA-1 over one piece's data: the running states a piece carries (the hashed prefix on disk and
// the run hashed ahead while its blocks arrive) and the verdict against the piece's hash. Data is
// hashed from memory as it streams in, never read back from disk.
class TPieceHasher {
 public:
  // The process-wide pool the 104-byte states come from.
  static QBufferPool& StatePool();

  // Bytes [offset, offset + length) that end the piece, continuing its prefix state when offset
  // is not 0, match its expected hash.
  static bool VerifyBytes(const TPiece& piece, const uint8_t* expected, const uint8_t* data, int64_t offset,
                          int64_t length);
  // Feeds the running hash with the blocks held from where it stands, as far as they follow
  // without a gap, so a piece arriving in order is hashed while its bytes are still in the cache.
  static bool HashAhead(TPiece& piece);
  // The blocks held from the hashed prefix to the end match the piece's expected hash.
  static bool VerifyHeld(TPiece& piece, const uint8_t* expected);
  // Carries the prefix state over `length` held bytes that follow the prefix.
  static bool ExtendPrefix(TPiece& piece, int32_t length);
  // Gives both states back: the piece has no hashed prefix any more.
  static void ReleaseStates(TPiece& piece);
  static void ReleaseAhead(TPiece& piece);
  // Takes a saved prefix state; false when no state can be had.
  static bool RestorePrefix(TPiece& piece, int32_t prefix, const uint8_t* state);
};

}  // namespace bw
