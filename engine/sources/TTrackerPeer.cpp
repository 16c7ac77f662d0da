#include "engine/sources/TTrackerPeer.h"

namespace bw {

// This build does not speak the tracker protocols yet: nothing is sent, the identity stays free.
bool TTrackerPeer::ConnectTo(TPeerId*) { return false; }

// Without the protocol there is nothing to read; a peer stepped anyway fails and is let go.
bool TTrackerPeer::ReadInput() { return false; }

// A spare peer announces next to another tracker: a target built for the last one, with its
// byte figures, must not be sent there.
void TTrackerPeer::Reset() {
  TPeerObject::Reset();
  reply.clear();
  lastActivity = 0;
  lastSendTime = 0;
  announceTarget.clear();
  packet = UdpAnnounce{};
}

bool TTrackerPeer::IsConnected() {
  return (linkState != kNoLink || workState != kIdle) && Socket() != nullptr;
}

}  // namespace bw
