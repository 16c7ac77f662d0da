#include "engine/sources/TPieceRange.h"

namespace bw {

TPieceRange::TPieceRange(TPeerId* owner, int32_t first, int32_t last)
    : first(first), last(last), next(first), owner_(TRef<TPeerId>::Share(owner)) {}

}  // namespace bw
