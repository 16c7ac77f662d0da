#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Name to IPv4 lookup. The system resolver serves by default; tests install their own so that no
// test ever asks a name server.
class Resolver {
 public:
  virtual ~Resolver() = default;
  // Appends the host's IPv4 addresses (network order) in resolver order. Returns 0 or a socket
  // error code (kWsaHostNotFound, kWsaTryAgain, kWsaNoRecovery, kWsaNoData).
  virtual int Lookup(const std::string& host, std::vector<uint32_t>* addresses) = 0;
  // The name servers the host is configured with, as dotted quads; empty when unknown.
  virtual std::vector<std::string> NameServers() = 0;
};

Resolver& SystemResolver();
// The resolver in use; SetResolver(nullptr) returns to the system resolver. Returns the previous.
Resolver& CurrentResolver();
Resolver* SetResolver(Resolver* resolver);

std::string HostName();

}  // namespace platform
