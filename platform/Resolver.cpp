#include "platform/Resolver.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>

#include "platform/Socket.h"

namespace platform {
namespace {

int MapLookupError(int rc) {
  switch (rc) {
    case EAI_NONAME: return kWsaHostNotFound;
#ifdef EAI_NODATA
    case EAI_NODATA: return kWsaNoData;
#endif
    case EAI_AGAIN: return kWsaTryAgain;
    default: return kWsaNoRecovery;
  }
}

class SystemResolverImpl final : public Resolver {
 public:
  int Lookup(const std::string& host, std::vector<uint32_t>* addresses) override {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (rc != 0) return MapLookupError(rc);
    const size_t before = addresses->size();
    for (const addrinfo* a = list; a; a = a->ai_next) {
      if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(sockaddr_in)) {
        addresses->push_back(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr);
      }
    }
    ::freeaddrinfo(list);
    return addresses->size() > before ? 0 : kWsaNoData;
  }

  std::vector<std::string> NameServers() override {
    std::vector<std::string> servers;
    std::ifstream conf("/etc/resolv.conf");
    std::string line;
    while (std::getline(conf, line)) {
      std::istringstream words(line);
      std::string key, value;
      if (words >> key >> value && key == "nameserver") servers.push_back(value);
    }
    return servers;
  }
};

std::atomic<Resolver*> gResolver{nullptr};

}  // namespace

Resolver& SystemResolver() {
  static SystemResolverImpl resolver;
  return resolver;
}

Resolver& CurrentResolver() {
  Resolver* r = gResolver.load(std::memory_order_acquire);
  return r ? *r : SystemResolver();
}

Resolver* SetResolver(Resolver* resolver) {
  return gResolver.exchange(resolver, std::memory_order_acq_rel);
}

std::string HostName() {
  char name[1024] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace platform
