#include "engine/sources/TPieceRange.h"

#include "engine/sources/TPeerId.h"

namespace bw {

TPieceRange::TPieceRange(TPeerId* owner, int32_t first, int32_t last)
    : first(first), last(last), next(first), owner_(owner) {
  if (owner_) owner_->AddRef();
}

TPieceRange::~TPieceRange() { ReleaseRef(owner_); }

}  // namespace bw
