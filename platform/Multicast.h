#pragma once
#include "platform/Socket.h"

namespace platform {

// IPv4 multicast on a datagram socket; addresses in network order. Both return false and set the
// thread's last socket error on failure.
// Receives the group's datagrams that arrive on the interface with the address interfaceIp.
bool JoinMulticastGroup(SocketHandle s, uint32_t group, uint32_t interfaceIp);
// Sends the socket's multicast datagrams out of that interface with this time to live, and
// delivers them to the sockets of this host that joined the group when loop is on.
bool SetMulticastSending(SocketHandle s, uint32_t interfaceIp, int ttl, bool loop);

}  // namespace platform
