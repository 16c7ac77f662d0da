#pragma once
#include <cstdint>
#include <vector>

namespace platform {

// IPv4 addresses (network order) of the interfaces that are up and not loopback, in the order
// the system lists them; the first stands for "the host's own address".
std::vector<uint32_t> LocalIPv4Addresses();

}  // namespace platform
