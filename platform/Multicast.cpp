#include "platform/Multicast.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

namespace platform {
namespace {

bool SetOption(SocketHandle s, int name, const void* value, socklen_t size) {
  if (::setsockopt(s, IPPROTO_IP, name, value, size) == 0) return true;
  SetLastSocketError(MapErrno(errno));
  return false;
}

}  // namespace

bool JoinMulticastGroup(SocketHandle s, uint32_t group, uint32_t interfaceIp) {
  ip_mreq request{};
  request.imr_multiaddr.s_addr = group;
  request.imr_interface.s_addr = interfaceIp;
  return SetOption(s, IP_ADD_MEMBERSHIP, &request, sizeof request);
}

bool SetMulticastSending(SocketHandle s, uint32_t interfaceIp, int ttl, bool loop) {
  in_addr out{};
  out.s_addr = interfaceIp;
  const int hops = ttl;
  const int looped = loop ? 1 : 0;
  return SetOption(s, IP_MULTICAST_IF, &out, sizeof out) && SetOption(s, IP_MULTICAST_TTL, &hops, sizeof hops) &&
         SetOption(s, IP_MULTICAST_LOOP, &looped, sizeof looped);
}

}  // namespace platform
