#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

constexpr uint32_t kNoAddress = 0xFFFFFFFFu;  // the all-ones address: "none" or "failed"

uint32_t HostToNet32(uint32_t v);
inline uint32_t NetToHost32(uint32_t v) { return HostToNet32(v); }

// Strict a.b.c.d with four decimal parts 0..255; false for anything else.
bool ParseDottedQuad(std::string_view text, uint32_t* ip);
std::string DottedQuadText(uint32_t ip);

// Host name (or dotted quad) to an IPv4 address in network order; kNoAddress on failure.
// A name the resolver reported as not found is not looked up again until ClearFailedHosts.
uint32_t ResolveHost(const std::string& name);
void AddFailedHost(const std::string& name);
void ClearFailedHosts();

// The local IPv4 address to announce and bind: among the first limit + 1 interface addresses
// (all for limit -1), a public one unless the last one seen is public too; kNoAddress when the
// host has none.
uint32_t PickLocalAddress(int limit = -1);
uint32_t ChooseLocalAddress(const std::vector<uint32_t>& addresses, int limit);

bool IsNonPublicAddress(uint32_t ip);

}  // namespace bw
