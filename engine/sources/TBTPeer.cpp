#include "engine/sources/TBTPeer.h"

namespace bw {

// This build does not speak the peer wire yet: nothing is dialled and the identity stays free.
bool TBTPeer::ConnectTo(TPeerId*) { return false; }

// Without the wire there is nothing to read; a peer stepped anyway fails and is let go.
bool TBTPeer::ReadInput() { return false; }

// A spare peer is reused for another remote side: nothing of the last one may carry over.
void TBTPeer::Reset() {
  TPeerObject::Reset();
  TBTWireState::operator=(TBTWireState{});
}

}  // namespace bw
