#include "engine/sources/TFtpPeer.h"

#include "engine/net/QSocket.h"

namespace bw {

TFtpPeer::TFtpPeer(IPeerTask* task) : TPeerObject(4, task) {}

TFtpPeer::~TFtpPeer() = default;

// This build does not speak FTP yet: nothing is dialled and the identity stays free.
bool TFtpPeer::ConnectTo(TPeerId*) { return false; }

// Without the protocol there is nothing to read; a peer stepped anyway fails and is let go.
bool TFtpPeer::ReadInput() { return false; }

void TFtpPeer::Reset() {
  TPeerObject::Reset();
  dataSocket.reset();
  ftpState = kAwaitWelcome;
  ftpPhase = kAwaitReply;
  streamPos = 0;
  skipBytes = 0;
}

}  // namespace bw
