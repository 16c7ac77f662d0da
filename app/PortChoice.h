#pragma once
#include <functional>
#include <string>

namespace bw::app {

// The listener's port is drawn from this range.
inline constexpr int kFirstListenPort = 40000;
inline constexpr int kLastListenPort = 50000;

// Ports other programs of the publisher are known to take.
bool IsReservedPort(int port);
// In use when the engine's listener could not take it: binding and listening on it fail.
bool IsPortInUse(int port);
// Where the search starts, drawn from the clock so that two copies rarely collide.
int RandomStartPort();
// From start on (moved into the range), the first port that inUse calls free, skipping the
// reserved ports and wrapping past the range's end to its start; 0 once every port was refused.
int ChooseListenPort(int start, const std::function<bool(int)>& inUse);

// The host's own IPv4 address, dotted; false when it has none but loopback.
bool GetLocalAddress(std::string* address);
// An address of a private network (or one that cannot face the Internet), where a gateway
// stands between the host and its peers.
bool IsLocalAddress(const std::string& address);

}  // namespace bw::app
