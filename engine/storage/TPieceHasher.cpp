#include "engine/storage/TPieceHasher.h"

#include <cstring>

#include "engine/common/QBufferPool.h"
#include "engine/common/Sha1.h"
#include "engine/storage/TPiece.h"

namespace bw {

QBufferPool& TPieceHasher::StatePool() {
  static QBufferPool pool;
  return pool;
}

bool TPieceHasher::VerifyBytes(const TPiece& piece, const uint8_t* expected, const uint8_t* data, int64_t offset,
                               int64_t length) {
  Sha1 sha;
  if (offset > 0) {
    if (offset != piece.HashedPrefix || !piece.Sha1State || !sha.ImportState(piece.Sha1State, Sha1::kStateSize)) {
      return false;
    }
  }
  uint8_t digest[Sha1::kDigestSize];
  if (offset + length != piece.Size || sha.Input(data, static_cast<size_t>(length)) != Sha1::kSuccess ||
      sha.Result(digest) != Sha1::kSuccess) {
    return false;
  }
  return expected && std::memcmp(digest, expected, Sha1::kDigestSize) == 0;
}

bool TPieceHasher::HashAhead(TPiece& piece) {
  const int32_t from = piece.AheadState ? piece.HashedAhead : piece.HashedPrefix;
  const int32_t run = piece.Blocks.RunFrom(from);
  if (run == 0) return true;
  Sha1 sha;
  const uint8_t* state = piece.AheadState ? piece.AheadState : piece.Sha1State;
  if (from > 0 && (!state || !sha.ImportState(state, Sha1::kStateSize))) return false;
  if (!piece.AheadState && !(piece.AheadState = StatePool().Alloc(Sha1::kStateSize))) return false;
  bool fed = true;
  piece.Blocks.ForEachRun(from, run, [&](const uint8_t* data, int32_t n) {
    fed = fed && sha.Input(data, static_cast<size_t>(n)) == Sha1::kSuccess;
  });
  if (!fed) return false;
  sha.ExportState(piece.AheadState);
  piece.HashedAhead = from + run;
  return true;
}

bool TPieceHasher::VerifyHeld(TPiece& piece, const uint8_t* expected) {
  if (piece.HashedPrefix % piece.Blocks.ChunkSize() != 0 ||
      !piece.Blocks.HasRange(piece.HashedPrefix, piece.Size - piece.HashedPrefix)) {
    return false;
  }
  Sha1 sha;
  uint8_t digest[Sha1::kDigestSize];
  const bool hashed = HashAhead(piece) && piece.HashedAhead == piece.Size &&
                      sha.ImportState(piece.AheadState, Sha1::kStateSize) && sha.Result(digest) == Sha1::kSuccess;
  ReleaseAhead(piece);
  return hashed && expected && std::memcmp(digest, expected, Sha1::kDigestSize) == 0;
}

bool TPieceHasher::ExtendPrefix(TPiece& piece, int32_t length) {
  if (!piece.Sha1State) piece.Sha1State = StatePool().Alloc(Sha1::kStateSize);
  Sha1 sha;
  bool fed = piece.Sha1State && (piece.HashedPrefix == 0 || sha.ImportState(piece.Sha1State, Sha1::kStateSize));
  piece.Blocks.ForEachRun(piece.HashedPrefix, length, [&](const uint8_t* data, int32_t n) {
    fed = fed && sha.Input(data, static_cast<size_t>(n)) == Sha1::kSuccess;
  });
  if (fed) sha.ExportState(piece.Sha1State);
  return fed;
}

void TPieceHasher::ReleaseStates(TPiece& piece) {
  StatePool().Free(piece.Sha1State);
  piece.Sha1State = nullptr;
  piece.HashedPrefix = 0;
  ReleaseAhead(piece);
}

void TPieceHasher::ReleaseAhead(TPiece& piece) {
  StatePool().Free(piece.AheadState);
  piece.AheadState = nullptr;
  piece.HashedAhead = 0;
}

bool TPieceHasher::RestorePrefix(TPiece& piece, int32_t prefix, const uint8_t* state) {
  if (!piece.Sha1State) piece.Sha1State = StatePool().Alloc(Sha1::kStateSize);
  if (!piece.Sha1State) return false;
  std::memcpy(piece.Sha1State, state, Sha1::kStateSize);
  piece.HashedPrefix = prefix;
  return true;
}

}  // namespace bw
