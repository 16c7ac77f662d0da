#include "platform/NetInterfaces.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace platform {

std::vector<uint32_t> LocalIPv4Addresses() {
  std::vector<uint32_t> out;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  for (const ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
    out.push_back(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
  }
  ::freeifaddrs(list);
  return out;
}

}  // namespace platform
