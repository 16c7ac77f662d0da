#pragma once
#include "engine/net/QUInternalServer.h"

namespace bw {

// The process-wide UDP server, which every QSocket in stream-over-UDP mode goes through.
// -1 for a configuration it refuses; 0 once it runs (a running server is left unchanged).
int StartUdpServer(const UdpServerConfig& config);
void StopUdpServer();
// The running server, or null.
QUInternalServer* RunningUdpServer();
// Tasks may connect over UDP while the server knows the public address and the transport is on.
bool UdpTransportAllowed();

}  // namespace bw
