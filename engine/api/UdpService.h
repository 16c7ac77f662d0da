#pragma once
#include <string>

namespace bw {

// Where engines meet on the UDP transport; an empty host runs no UDP server and contacts nobody.
void ConfigureUdpService(const std::string& rendezvousHost, int rendezvousPort, int localUdpPort);
// Started with the first task once a rendezvous server is configured; stopped with the engine.
void EnsureUdpService();

}  // namespace bw
